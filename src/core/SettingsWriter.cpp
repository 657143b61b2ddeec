// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/SettingsWriter.h"

#include "core/Log.h"
#include "core/SettingsFile.h"

#include <algorithm>

SettingsWriter::~SettingsWriter() {
    finish();
}

void SettingsWriter::write(const QString &path, const QByteArray &bytes, bool keepBackup) {
    {
        const std::lock_guard lock(mutex);
        const auto same =
            std::find_if(waiting.begin(), waiting.end(), [&](const Job &job) { return job.path == path; });
        if (same != waiting.end())
            same->bytes = bytes;
        else
            waiting.push_back({path, bytes, keepBackup});
    }
    if (!thread.joinable())
        thread = std::thread([this] { run(); });
    changed.notify_all();
}

void SettingsWriter::finish() {
    if (!thread.joinable())
        return;
    {
        const std::lock_guard lock(mutex);
        finishing = true;
    }
    changed.notify_all();
    thread.join();
    finishing = false;
}

void SettingsWriter::run() {
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return finishing || !waiting.empty(); });
        if (waiting.empty())
            return; // finishing, with nothing left
        const Job job = waiting.front();
        waiting.pop_front();
        lock.unlock();
        if (!writeOwnerOnlyFile(job.path, job.bytes, job.keepBackup))
            logMessage(LOG_WARNING, "Couldn't save %s", job.path.toUtf8().constData());
        lock.lock();
    }
}
