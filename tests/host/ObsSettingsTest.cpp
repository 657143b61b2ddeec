// SPDX-License-Identifier: GPL-2.0-or-later
#include "host/BridgeRun.h"

#include <obs.hpp>

namespace {
class ObsSettings : public BridgeRun {
protected:
    void useService(const char *type, const QByteArray &settingsJson) {
        OBSDataAutoRelease settings = obs_data_create_from_json(settingsJson.constData());
        OBSServiceAutoRelease service = obs_service_create(type, "default_service", settings, nullptr);
        ASSERT_NE(service.Get(), nullptr);
        obs_frontend_set_streaming_service(service);
    }

    QJsonObject currentServiceSettings() {
        OBSDataAutoRelease settings = obs_service_get_settings(obs_frontend_get_streaming_service());
        return QJsonDocument::fromJson(obs_data_get_json(settings)).object();
    }

    QString backupFile() const { return obshost::moduleConfigDir() + "/previous-service.json"; }
    QString iniFile() const { return frontendProfileDir() + "/basic.ini"; }
    QString encoderFile() const { return frontendProfileDir() + "/streamEncoder.json"; }
};
} // namespace

TEST_F(ObsSettings, ServiceSwitchPointsObsAtTheServerAndKeepsTheOldService) {
    useService("rtmp_custom", R"({"server": "rtmp://old.example/live", "key": "old-key"})");
    start();
    EXPECT_EQ(bridge("POST", "service", R"({"server": "rtmp://new.example/live", "key": "new-key"})").json,
              ok);

    EXPECT_STREQ(obs_service_get_type(obs_frontend_get_streaming_service()), "rtmp_custom");
    EXPECT_EQ(currentServiceSettings(),
              QJsonObject({{"server", "rtmp://new.example/live"}, {"key", "new-key"}, {"use_auth", false}}));
    EXPECT_EQ(readJsonFile(frontendProfileDir() + "/service.json").value("settings").toObject().value("key"),
              "new-key");
    const QJsonObject backup = readJsonFile(backupFile());
    EXPECT_EQ(backup.value("type").toString(), "rtmp_custom");
    EXPECT_EQ(backup.value("settings").toObject().value("server").toString(), "rtmp://old.example/live");
    EXPECT_EQ(backup.value("settings").toObject().value("key").toString(), "old-key");

    const QJsonObject service = obsState().value("service").toObject();
    EXPECT_EQ(service.value("server").toString(), "rtmp://new.example/live");
    EXPECT_EQ(service.value("key").toString(), "new-key");
    EXPECT_EQ(service.value("url").toString(), "rtmp://new.example/live");
    EXPECT_EQ(service.value("type").toString(), "rtmp_custom");

    // The same server again (another key) keeps the first backup; another letter case is another server.
    EXPECT_EQ(bridge("POST", "service", R"({"server": "rtmp://new.example/live", "key": "k2"})").status, 200);
    EXPECT_EQ(readJsonFile(backupFile()).value("settings").toObject().value("key").toString(), "old-key");
    EXPECT_EQ(bridge("POST", "service", R"({"server": "rtmp://NEW.example/live", "key": "k3"})").status, 200);
    EXPECT_EQ(readJsonFile(backupFile()).value("settings").toObject().value("key").toString(), "k2");
}

TEST_F(ObsSettings, ServiceSwitchRefusalsChangeNothing) {
    start();
    for (const QByteArray &body :
         {QByteArray(), QByteArray("[]"), QByteArray("{\"server\": \"rtmp://s/live\"}"),
          QByteArray("{\"server\": \"rtmp://s/live\", \"key\": 5}"),
          QByteArray("{\"key\": \"k\", \"server\": \"\"}")}) {
        const Answer answer = bridge("POST", "service", body);
        EXPECT_EQ(answer.status, 409) << body.constData();
        EXPECT_EQ(answer.json, error("The server or stream key is missing."));
    }
    EXPECT_EQ(obs_frontend_get_streaming_service(), nullptr);

    setFrontendStreaming(true);
    EXPECT_EQ(bridge("POST", "service").json, error("End the stream first."));
    setFrontendStreaming(false);

    // Without a current service there is nothing to back up.
    EXPECT_EQ(bridge("POST", "service", R"({"server": "  ", "key": "k"})").status, 200);
    EXPECT_FALSE(QFile::exists(backupFile()));
}

TEST_F(ObsSettings, SimpleModeWritesTheBitrateIntoTheProfile) {
    start();
    EXPECT_EQ(bridge("POST", "encoder", R"({"bitrate": 4500})").json, ok);
    const QByteArray ini = readFile(iniFile());
    EXPECT_TRUE(ini.contains("VBitrate=4500")) << ini.constData();
    EXPECT_FALSE(ini.contains("keyint")) << ini.constData();
    EXPECT_FALSE(QFile::exists(encoderFile()));
    EXPECT_EQ(obsState().value("encoder").toObject().value("bitrate").toInt(), 4500);

    for (const QByteArray &body :
         {QByteArray("not json"), QByteArray("{\"bitrate\": -5}"), QByteArray("{\"bitrate\": \"9000\"}"),
          QByteArray("{\"bitrate\": 9000.5}")}) {
        EXPECT_EQ(bridge("POST", "encoder", body).json, ok) << body.constData();
        EXPECT_TRUE(readFile(iniFile()).contains("VBitrate=4500")) << body.constData();
    }

    setFrontendStreaming(true);
    EXPECT_EQ(bridge("POST", "encoder", R"({"bitrate": 1000})").json, error("End the stream first."));
    setFrontendStreaming(false);
    // A profile that can't be written is reported.
    QDir().mkpath(iniFile() + ".tmp");
    EXPECT_EQ(bridge("POST", "encoder", R"({"bitrate": 1000})").json,
              error("OBS's encoder settings couldn't be saved."));
    resetFrontendProfile("", false);
    EXPECT_EQ(bridge("POST", "encoder", R"({"bitrate": 1000})").json, error("OBS has no profile open."));
    EXPECT_FALSE(obsState().contains("encoder"));
}

TEST_F(ObsSettings, SimpleModeKeyframesAreWhatTheServiceRecommends) {
    const char *simpleModeRefusal =
        "The bitrate is saved, but OBS's simple output mode can't set a keyframe interval: set Output Mode "
        "to "
        "Advanced in OBS's Settings > Output, then save the encoder settings again.";
    // A custom server recommends nothing: x264 decides (0), and 2 s can't be had in this mode.
    useService("rtmp_custom", R"({"server": "rtmp://example.test/live", "key": "k"})");
    start();
    EXPECT_EQ(obsState().value("encoder").toObject().value("keyintSec").toInt(), 0);
    const Answer refused = bridge("POST", "encoder", R"({"bitrate": 3500, "keyintSec": 2})");
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(refused.json, error(simpleModeRefusal));
    EXPECT_TRUE(readFile(iniFile()).contains("VBitrate=3500"));

    // A platform service recommends 2 s, which simple mode then streams with.
    useService("rtmp_common", R"({"service": "Twitch", "server": "auto", "key": "k"})");
    EXPECT_EQ(obsState().value("encoder").toObject().value("keyintSec").toInt(), 2);
    EXPECT_EQ(bridge("POST", "encoder", R"({"bitrate": 3000, "keyintSec": 2})").json, ok);
    EXPECT_EQ(bridge("POST", "encoder", R"({"keyintSec": 4})").json, error(simpleModeRefusal));
}

TEST_F(ObsSettings, AdvancedModeWritesTheEncoderFileAndKeepsItsOtherKeys) {
    resetFrontendProfile("[Output]\nMode=advanced\n[AdvOut]\nEncoder=obs_x264\n");
    start();
    // No file: the encoder's own defaults (x264's bitrate is 2500 before OBS 32, 6000 since).
    OBSDataAutoRelease x264Defaults = obs_encoder_defaults("obs_x264");
    EXPECT_EQ(obsState().value("encoder").toObject(),
              QJsonObject({{"mode", "advanced"},
                           {"encoder", "obs_x264"},
                           {"codec", "h264"},
                           {"bitrate", int(obs_data_get_int(x264Defaults, "bitrate"))},
                           {"keyintSec", 0},
                           {"rateControl", "CBR"}}));

    EXPECT_EQ(bridge("POST", "encoder", R"({"bitrate": 0, "keyintSec": 0})").json, ok);
    EXPECT_EQ(readJsonFile(encoderFile()), QJsonObject());

    writeFile(encoderFile(), R"({"rate_control": "VBR", "preset": "fast", "keyint_sec": 4})");
    EXPECT_EQ(bridge("POST", "encoder", R"({"bitrate": 6000})").json, ok);
    EXPECT_EQ(
        readJsonFile(encoderFile()),
        QJsonObject({{"rate_control", "VBR"}, {"preset", "fast"}, {"keyint_sec", 4}, {"bitrate", 6000}}));
    EXPECT_EQ(bridge("POST", "encoder", R"({"bitrate": 3000, "keyintSec": 2})").json, ok);
    const QJsonObject encoder = obsState().value("encoder").toObject();
    EXPECT_EQ(encoder.value("bitrate").toInt(), 3000);
    EXPECT_EQ(encoder.value("keyintSec").toInt(), 2);
    EXPECT_EQ(encoder.value("rateControl").toString(), "VBR");

    QDir().mkpath(encoderFile() + ".tmp");
    EXPECT_EQ(bridge("POST", "encoder", R"({"bitrate": 1000})").json,
              error("OBS's encoder settings couldn't be saved."));
    EXPECT_EQ(readJsonFile(encoderFile()).value("bitrate").toInt(), 3000);
}

TEST_F(ObsSettings, AdvancedModeWithoutAnEncoderReadsTheFileAlone) {
    resetFrontendProfile("[Output]\nMode=ADVANCED\n");
    writeFile(encoderFile(), R"({"bitrate": 1234})");
    start();
    EXPECT_EQ(obsState().value("encoder").toObject(), QJsonObject({{"mode", "advanced"},
                                                                   {"encoder", ""},
                                                                   {"codec", ""},
                                                                   {"bitrate", 1234},
                                                                   {"keyintSec", 0},
                                                                   {"rateControl", ""}}));
}
