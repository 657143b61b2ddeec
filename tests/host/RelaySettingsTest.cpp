// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/ModuleRun.h"
#include "relay/Relay.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
QString relayFile() {
    return obshost::moduleConfigDir() + "/relay.json";
}

void writeRelayFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(obshost::moduleConfigDir());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

QJsonObject readRelayFile() {
    finishSavingRelaySettings();
    QFile file(relayFile());
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

// Settings load at module load, so each case loads the module afresh over the file it wrote.
class RelaySettingsRun : public ModuleRun {
protected:
    void SetUp() override {
        ModuleRun::SetUp();
        obs_module_unload();
        moduleRelay() = RelayState();
    }
    void reload() {
        moduleRelay() = RelayState();
        obs_module_load();
        obs_module_unload();
    }
};

RelayState &relay() {
    return moduleRelay();
}
} // namespace

TEST_F(RelaySettingsRun, UpdatesAreSavedWithTheirRules) {
    updateRelaySettings(true, "rtmp://a/live", "k1", 500);
    EXPECT_EQ(readRelayFile(),
              QJsonObject({{"enabled", true}, {"server", "rtmp://a/live"}, {"key", "k1"}, {"bitrate", 500}}));
    updateRelaySettings(true, "rtmp://a/live", "k1", 50000);
    EXPECT_EQ(relay().bitrate, 50000);
    updateRelaySettings(true, "rtmp://a/live", "k1", 499);
    EXPECT_EQ(relay().bitrate, 6000);
    updateRelaySettings(true, "rtmp://a/live", "k1", 50001);
    EXPECT_EQ(relay().bitrate, 6000);

    // Without a key (or a server) the relay stays off, but what was given is kept.
    updateRelaySettings(true, "rtmp://b/live", "", 3000);
    EXPECT_EQ(readRelayFile(),
              QJsonObject({{"enabled", false}, {"server", "rtmp://b/live"}, {"key", ""}, {"bitrate", 3000}}));
    updateRelaySettings(true, "", "k2", 3000);
    EXPECT_FALSE(relay().enabled);
    EXPECT_EQ(relay().key, "k2");

    // Enabling while OBS is not streaming saves and starts nothing.
    updateRelaySettings(true, "rtmp://c/live", "k3", 3000);
    EXPECT_TRUE(relay().enabled);
    EXPECT_FALSE(relay().life.wanted());
    EXPECT_EQ(relay().output, nullptr);

    reload();
    EXPECT_TRUE(relay().enabled);
    EXPECT_EQ(relay().server, "rtmp://c/live");
    EXPECT_EQ(relay().key, "k3");
    EXPECT_EQ(relay().bitrate, 3000);
}

TEST_F(RelaySettingsRun, StoredValuesLoadAsTheyAre) {
    writeRelayFile(relayFile(), R"({"enabled": true, "server": "", "key": "k", "bitrate": 100})");
    reload();
    EXPECT_TRUE(relay().enabled);
    EXPECT_EQ(relay().bitrate, 100);

    writeRelayFile(relayFile(), R"({"server": "rtmp://x/live"})");
    reload();
    EXPECT_FALSE(relay().enabled);
    EXPECT_EQ(relay().server, "rtmp://x/live");
    EXPECT_EQ(relay().bitrate, 6000);
}

TEST_F(RelaySettingsRun, DamagedOrOddFilesFallBackWithoutHarm) {
    const RelayState defaults;
    for (const QByteArray &damaged :
         {QByteArray(""), QByteArray("not json"), QByteArray("[1,2]"),
          QByteArray("{\"enabled\": \"yes\", \"server\": 5, \"bitrate\": \"fast\"}")}) {
        writeRelayFile(relayFile(), damaged);
        QFile::remove(relayFile() + ".bak");
        reload();
        EXPECT_FALSE(relay().enabled) << damaged.constData();
        EXPECT_EQ(relay().server, defaults.server) << damaged.constData();
        EXPECT_EQ(relay().key, defaults.key) << damaged.constData();
    }

    QFile::remove(relayFile());
    reload();
    EXPECT_EQ(relay().bitrate, 6000);

    writeRelayFile(relayFile(), "{\"enabled\": tr");
    writeRelayFile(relayFile() + ".bak", R"({"enabled": true, "server": "rtmp://bak/live", "key": "b"})");
    reload();
    EXPECT_TRUE(relay().enabled);
    EXPECT_EQ(relay().server, "rtmp://bak/live");
}
