// SPDX-License-Identifier: GPL-2.0-or-later
#include "cloud/AccountToken.h"
#include "host/BridgeRun.h"
#include "relay/Relay.h"
#include "support/TestOutput.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QScopeGuard>
#include <obs.hpp>
#include <sys/mount.h>
#include <unistd.h>

namespace {
// The module's files on disk: secrets stay with their owner, a replaced token leaves no copy, and
// files that are not what they should be never take OBS down.
class SettingsFiles : public BridgeRun {
protected:
    static QString configFile(const QString &name) { return obshost::moduleConfigDir() + "/" + name; }

    static bool ownerOnly(const QString &path) {
        return QFileInfo(path).permissions() == (QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                 QFileDevice::ReadUser | QFileDevice::WriteUser);
    }

    static void writeWorldReadable(const QString &path, const QByteArray &bytes) {
        writeFile(path, bytes);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                        QFileDevice::ReadGroup | QFileDevice::ReadOther);
    }

    // Every file below the module's folder that holds text, by name.
    static QStringList filesHolding(const QByteArray &text) {
        QStringList holding;
        QDirIterator files(obshost::moduleConfigDir(), QDir::Files | QDir::Hidden,
                           QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            if (readFile(path).contains(text))
                holding << QFileInfo(path).fileName();
        }
        return holding;
    }
};
} // namespace

TEST_F(SettingsFiles, SecretsAreOwnerOnlyAndSignOutLeavesNoCopy) {
    // What an older version left: world-readable files and a token backup.
    writeWorldReadable(configFile("account.json"), R"({"token": "old-token"})");
    writeWorldReadable(configFile("account.json.bak"), R"({"token": "older-token"})");
    writeWorldReadable(configFile("relay.json"), R"({"key": "old-relay-key"})");
    writeWorldReadable(configFile("relay.json.tmp"), "");
    OBSDataAutoRelease oldService =
        obs_data_create_from_json(R"({"server": "rtmp://a/live", "key": "old-key"})");
    OBSServiceAutoRelease service = obs_service_create("rtmp_custom", "default_service", oldService, nullptr);
    obs_frontend_set_streaming_service(service);
    start();

    setAccountToken(*server, "new-token");
    EXPECT_TRUE(ownerOnly(configFile("account.json")));
    EXPECT_EQ(readJsonFile(configFile("account.json")).value("token"), "new-token");
    EXPECT_EQ(bridge("POST", "signout").json, ok);
    EXPECT_FALSE(QFileInfo::exists(configFile("account.json")));
    for (const QByteArray token : {"old-token", "older-token", "new-token"})
        EXPECT_EQ(filesHolding(token), QStringList()) << token.constData();
    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
    obs_module_unload();
    moduleRelay() = RelayState();
    startNextFrontendRun();
    obs_module_load(); // nothing brings the old token back
    start();
    EXPECT_EQ(server->token, "");

    EXPECT_EQ(bridge("POST", "relay", R"({"enabled": false, "server": "rtmp://r/live", "key": "relay-key"})")
                  .status,
              200);
    EXPECT_EQ(bridge("POST", "service", R"({"server": "rtmp://b/live", "key": "new-key"})").json, ok);
    finishSavingRelaySettings();
    for (const QString name : {"relay.json", "relay.json.bak", "previous-service.json"}) {
        EXPECT_TRUE(QFileInfo(configFile(name)).isFile()) << name.toStdString();
        EXPECT_TRUE(ownerOnly(configFile(name))) << name.toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(configFile("relay.json.tmp")));
    EXPECT_EQ(filesHolding("old-key"), QStringList({"previous-service.json"}));
}

TEST_F(SettingsFiles, SignOutHoldsOnAFullDiskAndSaysSoWhenItCantBeSaved) {
    if (geteuid() != 0)
        GTEST_SKIP() << "a small file system of its own needs root to mount";
    const QByteArray folder = QFile::encodeName(obshost::moduleConfigDir());
    QDir().mkpath(obshost::moduleConfigDir());
    ASSERT_EQ(mount("tmpfs", folder.constData(), "tmpfs", 0, "size=64k,mode=0700"), 0);
    const auto unmount = qScopeGuard([&] { umount2(folder.constData(), MNT_DETACH); });
    start();
    ASSERT_TRUE(setAccountToken(*server, "full-disk-token"));
    QFile filler(configFile("filler"));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    while (filler.write(QByteArray(4096, 'x')) > 0 && filler.flush()) {
    }
    filler.close();

    EXPECT_EQ(bridge("POST", "signout").json, ok);
    EXPECT_FALSE(QFileInfo::exists(configFile("account.json")));
    EXPECT_EQ(filesHolding("full-disk-token"), QStringList());

    // A settings folder that can't change at all: sign-out says so, and is signed out in memory all the same.
    QFile::remove(configFile("filler"));
    ASSERT_TRUE(setAccountToken(*server, "stuck-token"));
    ASSERT_EQ(mount(nullptr, folder.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    const Answer refused = bridge("POST", "signout");
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(refused.json, error("Sign-out couldn't be saved: the sign-in is still on disk."));
    EXPECT_EQ(server->token, "");
    EXPECT_FALSE(bridge("GET", "state").json.value("signedIn").toBool());
}

TEST_F(SettingsFiles, AFolderInPlaceOfAFileMeansDefaults) {
    for (const char *name : {"relay.json", "account.json", "dock.json", "relay.json.bak"})
        QDir().mkpath(configFile(name));
    obs_module_unload();
    moduleRelay() = RelayState();
    obs_module_load();
    start();
    EXPECT_EQ(server->token, "");
    EXPECT_FALSE(moduleRelay().enabled);
    EXPECT_EQ(obshost::countLogLines("[orvane] Ignoring " + configFile("relay.json") +
                                     ": not a regular file of a sane size"),
              1);
    EXPECT_EQ(obshost::countLogLines("[orvane] Ignoring " + configFile("account.json") +
                                     ": not a regular file of a sane size"),
              1);
    // Writes fail cleanly and the server goes on answering.
    EXPECT_EQ(bridge("POST", "signout").json, ok);
    EXPECT_EQ(bridge("GET", "state").status, 200);
}

TEST_F(SettingsFiles, StateNeverHoldsNull) {
    start();
    OBSOutputAutoRelease output = createTestOutput();
    setTestOutputCongestion(std::numeric_limits<float>::quiet_NaN());
    setFrontendStreamingOutput(output);
    const Answer state = bridge("GET", "state");
    EXPECT_FALSE(state.raw.contains("null")) << state.raw.constData();
    EXPECT_EQ(state.json.value("obs").toObject().value("congestion"), 0.0);
}

// relay.json is written away from OBS's main thread: a burst of changes ends with the last one on disk,
// owner-only with its backup, once OBS has closed, without anything waiting for it in between.
TEST_F(SettingsFiles, RelayChangesInABurstAllReachTheDiskByExit) {
    start();
    for (int bitrate = 1000; bitrate <= 3000; bitrate += 100)
        updateRelaySettings(bitrate % 200 == 0, "rtmp://r/live", "relay-key", bitrate);
    emitFrontendEvent(OBS_FRONTEND_EVENT_EXIT);
    obs_module_unload();
    EXPECT_EQ(readJsonFile(configFile("relay.json")),
              QJsonObject(
                  {{"enabled", true}, {"server", "rtmp://r/live"}, {"key", "relay-key"}, {"bitrate", 3000}}));
    EXPECT_TRUE(ownerOnly(configFile("relay.json")));
    EXPECT_FALSE(QFileInfo::exists(configFile("relay.json.tmp")));
}
