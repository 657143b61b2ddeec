// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "core/SendRate.h"
#include "relay/RelayBrake.h"
#include "relay/RelayEncoders.h"
#include "relay/RelayLink.h"
#include "relay/life/RelayLife.h"
#include "uplink/UplinkShare.h"

#include <QString>
#include <memory>
#include <obs.hpp>

// The relay: a second RTMP stream of OBS's program output with encoders of its own.
// One record for the whole module; its libobs handles are owned and released by the pipeline.
struct RelayState {
    // Settings, kept in relay.json.
    bool enabled = false;
    QString server;
    QString key;
    int bitrate = 6000; // kbit/s

    // Pipeline.
    std::vector<VideoEncoderCandidate> videoEncoderCandidates = relayVideoEncoderCandidates();
    OBSOutputAutoRelease output;
    OBSServiceAutoRelease service;
    OBSEncoderAutoRelease videoEncoder;
    OBSEncoderAutoRelease audioEncoder;
    QString builtSignature;          // settings the pipeline was built from; empty without a pipeline
    bool sharesObsEncoders = false;  // the pipeline's encoders are OBS's own stream encoders
    std::shared_ptr<RelayLink> link; // shared with the output's signals

    // Its life: what it is doing now, decided in one place.
    RelayLife life;

    // Status.
    QString error;
    QString encoderLabel;
    qint64 startedAtMs = 0;

    // Health, sampled once a second as OBS's stream's is.
    SendRate rate;
    qint64 lastProgressMs = 0; // when the output last sent a byte, or began sending
    bool stalled = false;      // sending, yet not a byte went out for a while
    UplinkShare share;         // how far it gives way to OBS's stream on a shared uplink
    int appliedCapKbps = 0;    // the share's cap as the encoder or the socket has it
    // OBS's encoders can't send less without lowering OBS's stream: while the uplink is short the relay
    // sends with its own, and returns to OBS's once the uplink has carried both at the setting a while.
    bool ownEncoderWhileShort = false;
    int ticksAtSettingOnOwnEncoder = 0;
    ObsEncoderReturn obsEncoderReturn;
    int obsDroppedSeen = -1;     // OBS's stream's dropped frames at the last tick; -1: not streaming then
    int obsVideoSettingKbps = 0; // the highest bitrate OBS's video encoder had this stream
    SendRate obsRate;            // OBS's stream's, as the relay's yield sees it
    std::unique_ptr<RelayBrake> brake =
        std::make_unique<RelayBrake>(); // between ticks, the relay's first move when OBS's stream falls into
                                        // trouble

    // Exit can arrive from inside a relay call (OBS 29.0.2 closes from its SIGINT handler): the pipeline
    // is then released when the outermost call returns.
    int callDepth = 0;
    bool releaseWhenIdle = false;
};

// Marks a relay call on the stack for its scope; the last one out releases what exit left to it.
class RelayCall {
public:
    RelayCall();
    ~RelayCall();
    RelayCall(const RelayCall &) = delete;
    RelayCall &operator=(const RelayCall &) = delete;
};

RelayState &moduleRelay();

inline constexpr int kDefaultRelayBitrate = 6000;
inline constexpr int kRelayAudioKbps = 160;
inline constexpr int kMinRelayBitrate = 500;
inline constexpr int kMaxRelayBitrate = 50000;
