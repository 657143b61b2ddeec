// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

// Writes owner-only settings files on a thread of its own, in the order asked; a newer content for a file
// still waiting replaces it. A file is only safe once the disk has it, and on a busy disk that wait can take
// half a second: OBS's main thread, which answers the page, must not sit in it.
class SettingsWriter {
public:
    SettingsWriter() = default;
    ~SettingsWriter();
    SettingsWriter(const SettingsWriter &) = delete;
    SettingsWriter &operator=(const SettingsWriter &) = delete;

    void write(const QString &path, const QByteArray &bytes, bool keepBackup);
    // Returns once everything asked so far is written, and ends the thread (the module's code may go next).
    void finish();

private:
    struct Job {
        QString path;
        QByteArray bytes;
        bool keepBackup = false;
    };
    void run();

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> waiting;
    bool finishing = false;
    std::thread thread;
};
