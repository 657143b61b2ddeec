// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "uplink/UplinkShare.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

// OBS's stream and the relay on one uplink with memory, 100 ms at a time, for the rate logic's cases:
// - the uplink carries what a recorded trace (or a flat figure) says, through a modem's queue of 60 KB that
//   fills with what both streams send beyond that and drains at its rate; both streams' TCP connections share
//   what it takes, each getting half while both have more to send than fits;
// - each stream has libobs's queue in front of its socket (its socket's buffer first): libobs drops frames
//   until the next keyframe once 700 ms back up, and reports its congestion as that queue over 700 ms;
// - OBS's dynamic bitrate, when on, lowers OBS's bitrate to what went out once its queue reaches 200 ms, and
//   raises it by a tenth of the original 4 s after each change; it then drops no frames;
// - the relay, on its own encoder, sends what its cap lets it, paced at the cap; aside, it sends nothing;
// - the module's brake looks ten times a second and its tick once a second, at what the module sees.
// Figures are kept per stream: frames lost, bitrate kept, the relay's delivery, and stops its viewers see
// (no new frame for over 0.5 s: a drop until the next keyframe, or the relay aside).
struct UplinkModel {
    static constexpr double kStep = 0.1;
    static constexpr double kModemQueueBytes = 60000;
    static constexpr double kDropThreshold = 0.7;
    static constexpr int kAudioKbps = 160;
    static constexpr int kFps = 30;
    static constexpr double kBaseRttUs = 40000;

    struct Stream {
        double socketBytes;     // what its socket's buffer holds before libobs's own queue grows
        double queuedBytes = 0; // in libobs's queue and its socket's buffer
        double sentBytes = 0;   // over the current second
        double framesLost = 0;
        double frames = 0;
        double sinceFrameSeconds = 0; // since its viewers saw a new frame
        int stops = 0;                // over 0.5 s
        double longestStopSeconds = 0;
        void see(bool newFrames) {
            if (newFrames) {
                sinceFrameSeconds = 0;
                return;
            }
            sinceFrameSeconds += kStep;
            if (sinceFrameSeconds > 0.5 && sinceFrameSeconds - kStep <= 0.5)
                ++stops;
            longestStopSeconds = std::max(longestStopSeconds, sinceFrameSeconds);
        }
    };

    std::vector<int> capacityKbps; // per 200 ms, from the start again once through
    bool relayOn = true;
    bool obsDynamicBitrate = false;
    int obsVideoKbps = 2000;
    int relayVideoSetting = 1500;
    // What OBS's stream sent each second with the relay off, on the same trace from the same start: the
    // spare is the capacity less that (the whole spare is the most the relay could deliver).
    std::vector<int> obsAloneKbps;

    // State.
    double seconds = 0;
    double modemBytes = 0;
    // OBS's socket grows its buffer with the path (Linux's autotuning); the relay's connection keeps its own
    // small, with what its loopback leg holds.
    Stream obs{120000}, relay{100000};
    int obsBitrate = 0; // OBS's encoder now (its dynamic bitrate lowers it)
    double sinceBitrateLowered = 0;
    int bitrateLowerings = 0;
    std::vector<double> obsRecentSent; // the last 1.5 s, per step: what OBS's dynamic bitrate estimates from
    double obsKbpsKept = 0;            // summed per second
    double relayDeliveredKbits = 0, spareKbits = 0, asideSeconds = 0, atSettingSeconds = 0, capacityKbits = 0;
    std::vector<int> obsSentKbps; // each second
    UplinkShare share;
    ObsQueueTrend trend;
    StandingQueue relayQueue;
    bool braked = false;
    int brakePace = 0;
    int obsDroppedSeen = 0, obsDroppedAtLook = 0;

    static std::vector<int> trace(const std::string &name) {
        const std::string here = __FILE__;
        std::ifstream file(here.substr(0, here.rfind('/')) + "/../data/uplinks/" + name + ".kbps");
        std::vector<int> kbps;
        for (std::string line; std::getline(file, line);)
            if (!line.empty() && line[0] != '#')
                kbps.push_back(std::stoi(line));
        return kbps;
    }

    int settingKbps() const { return relayVideoSetting + kAudioKbps; }
    double congestion(const Stream &stream, int kbps) const {
        const double waiting = std::max(0.0, stream.queuedBytes - stream.socketBytes);
        return waiting * 8 / 1000 / kbps / kDropThreshold;
    }
    int relaySendsKbps() const {
        if (!relayOn || share.aside)
            return 0;
        return share.capKbps == 0 ? settingKbps() : relayVideoKbps(share.capKbps, kAudioKbps) + kAudioKbps;
    }
    double relayPaceBytes() const {
        const int pace = braked ? brakePace : share.capKbps;
        return pace == 0 ? 1e12 : double(relayPacingBytesPerSecond(pace)) * kStep;
    }

    // Libobs's drop: what waits beyond the threshold and the frames up to the next keyframe (a second on
    // average) go.
    static bool dropWhenBehind(Stream &stream, int kbps) {
        const double bytesPerSecond = kbps * 1000.0 / 8;
        if (stream.queuedBytes - stream.socketBytes < kDropThreshold * bytesPerSecond)
            return false;
        const double kept = stream.socketBytes + 0.2 * bytesPerSecond;
        stream.framesLost += (stream.queuedBytes - kept) / bytesPerSecond * kFps;
        stream.queuedBytes = kept;
        return true;
    }

    void step() {
        if (obsBitrate == 0)
            obsBitrate = obsVideoKbps;
        const int capacity = capacityKbps[size_t(seconds / 0.2 + 1e-6) % capacityKbps.size()];
        const int obsKbps = obsBitrate + kAudioKbps;
        const int relayKbps = relaySendsKbps();
        obs.queuedBytes += obsKbps * 125.0 * kStep;
        relay.queuedBytes += relayKbps * 125.0 * kStep;
        obs.frames += kFps * kStep;
        // The modem takes what fits its queue and carries its capacity; the two connections share it.
        const double carried = capacity * 125.0 * kStep;
        capacityKbits += capacity * kStep;
        const double room = carried + kModemQueueBytes - modemBytes;
        double obsOffer = obs.queuedBytes, relayOffer = std::min(relay.queuedBytes, relayPaceBytes());
        if (obsOffer + relayOffer > room) {
            const double half = room / 2;
            if (obsOffer < half)
                relayOffer = room - obsOffer;
            else if (relayOffer < half)
                obsOffer = room - relayOffer;
            else
                obsOffer = relayOffer = half;
        }
        obs.queuedBytes -= obsOffer;
        relay.queuedBytes -= relayOffer;
        obs.sentBytes += obsOffer;
        obsRecentSent.push_back(obsOffer);
        if (obsRecentSent.size() > 15)
            obsRecentSent.erase(obsRecentSent.begin());
        relay.sentBytes += relayOffer;
        modemBytes = std::max(0.0, modemBytes + obsOffer + relayOffer - carried);
        const double queueUs = capacity > 0 ? modemBytes * 8 / capacity * 1000 : 1e6;
        const bool obsDropped = !obsDynamicBitrate && dropWhenBehind(obs, obsKbps);
        const bool relayDropped = relayKbps > 0 && dropWhenBehind(relay, relayKbps);
        obs.see(obsOffer > 0 && !obsDropped);
        relay.see(relayOffer > 0 && !relayDropped);
        dynamicBitrate(obsKbps);
        brake(queueUs);
        seconds += kStep;
        if (int(std::lround(seconds * 10)) % 10 == 0)
            tick();
    }

    // As OBS 29's rtmp-stream.c does it: once 200 ms wait in libobs's queue (not the socket's), down to what
    // went out over the last second or more (rounded down to 100 kbit/s, its audio taken off), once that is
    // known again after a change; 4 s after the last change, a tenth of the original back.
    void dynamicBitrate(int obsKbps) {
        sinceBitrateLowered += kStep;
        if (!obsDynamicBitrate)
            return;
        if (congestion(obs, obsKbps) * kDropThreshold >= 0.2 && obsRecentSent.size() >= 10) {
            double sent = 0;
            for (const double bytes : obsRecentSent)
                sent += bytes;
            const int estimate = std::max(
                50, (int(sent * 8 / 1000 / (obsRecentSent.size() * kStep)) - kAudioKbps) / 100 * 100);
            if (estimate < obsBitrate) {
                obsBitrate = estimate;
                sinceBitrateLowered = 0;
                ++bitrateLowerings;
                obsRecentSent.clear();
                return;
            }
        }
        if (obsBitrate < obsVideoKbps && sinceBitrateLowered >= 4) {
            obsBitrate = std::min(obsVideoKbps, obsBitrate + obsVideoKbps / 10);
            sinceBitrateLowered = 0;
            obsRecentSent.clear();
        }
    }

    void brake(double queueUs) {
        const int dropped = int(obs.framesLost);
        const int droppedNow = dropped - obsDroppedAtLook;
        obsDroppedAtLook = dropped;
        const double obsCongestion = congestion(obs, obsBitrate + kAudioKbps);
        const bool obsShort = trend.look(droppedNow, obsCongestion);
        if (share.aside || !relayOn) {
            relayQueue.reset();
            return;
        }
        relayQueue.look(unsigned(kBaseRttUs + queueUs), unsigned(kBaseRttUs));
        const int pace = relayBrakePaceKbps(obsShort, obsStreamFarBehind(droppedNow, obsCongestion),
                                            relayQueue.recentMs(), share.capKbps);
        if (!braked && pace != 0) {
            braked = true;
            brakePace = pace;
        }
    }

    void tick() {
        const int obsSent = int(obs.sentBytes * 8 / 1000), relaySent = int(relay.sentBytes * 8 / 1000);
        const size_t index = obsSentKbps.size();
        obsSentKbps.push_back(obsSent);
        obsKbpsKept += obsBitrate;
        relayDeliveredKbits += relaySent;
        const int obsAlone = index < obsAloneKbps.size() ? obsAloneKbps[index] : obsSent;
        spareKbits += std::clamp(int(capacityKbits) - obsAlone, 0, settingKbps());
        capacityKbits = 0;
        asideSeconds += share.aside;
        atSettingSeconds += relayOn && !share.aside && share.capKbps == 0;
        const int dropped = int(obs.framesLost);
        const int droppedNow = dropped - obsDroppedSeen;
        obsDroppedSeen = dropped;
        const double obsCongestion = congestion(obs, obsBitrate + kAudioKbps);
        UplinkSecond second;
        second.obsInTrouble = share.capKbps == 0 && !share.aside
                                  ? droppedNow > 0
                                  : obsStreamInTrouble(droppedNow, obsCongestion);
        second.obsFarBehind = obsStreamFarBehind(droppedNow, obsCongestion);
        second.obsKbps = obsSent;
        second.obsNeedKbps = (obsVideoKbps + kAudioKbps) * 105 / 100;
        second.obsVideoKbps = obsBitrate;
        second.obsVideoSettingKbps = obsVideoKbps;
        second.relayKbps = relaySent;
        second.relayQueueMs = share.aside ? -1 : relayQueue.ms();
        if (std::exchange(braked, false))
            second.obsInTrouble = second.obsFarBehind = second.braked = true;
        const bool wasAside = share.aside;
        if (relayOn)
            stepUplinkShare(share, second, settingKbps());
        if (share.aside && !wasAside) {
            relay.queuedBytes = 0;
            relayQueue.reset();
        }
        obs.sentBytes = relay.sentBytes = 0;
    }

    void run(double forSeconds) {
        for (const double end = seconds + forSeconds; seconds < end - 1e-9;)
            step();
    }

    double obsLostPercent() const { return 100 * obs.framesLost / std::max(1.0, obs.frames); }
    double relayShareOfSpare() const { return relayDeliveredKbits / std::max(1.0, spareKbits); }
    int obsMeanBitrate() const { return int(obsKbpsKept / std::max<size_t>(1, obsSentKbps.size())); }
};
