// SPDX-License-Identifier: GPL-2.0-or-later
#include "core/SettingsFile.h"

#include "core/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {
constexpr qint64 kMaxSettingsFileBytes = 1024 * 1024;

// Absent is fine; present must be a regular file of a sane size.
bool isReadableOrAbsent(const QString &path) {
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    return info.isFile() && info.size() <= kMaxSettingsFileBytes;
}

QString withExtension(const QString &path, const char *extension) {
    return path + QLatin1Char('.') + QString::fromUtf8(extension);
}

#ifdef Q_OS_UNIX
bool writeAll(int fd, const QByteArray &bytes) {
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t step = ::write(fd, bytes.constData() + written, size_t(bytes.size() - written));
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0)
            return false;
        written += step;
    }
    return true;
}

// A rename or removal is only lasting once its folder is on disk: else a power cut can bring back the
// file it replaced.
void syncFolderOf(const QString &path) {
    const int folder = ::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return;
    ::fsync(folder);
    ::close(folder);
}

// A folder in a file's place holds nothing that would be read as the file.
bool removeIfThere(const QByteArray &path) {
    return ::unlink(path.constData()) == 0 || errno == ENOENT || errno == EISDIR;
}

bool replaceOwnerOnly(const QString &path, const QByteArray &bytes, bool keepBackup) {
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = QFile::encodeName(withExtension(path, "tmp"));
    const QByteArray backup = QFile::encodeName(withExtension(path, "bak"));

    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    // A temporary file left by an older write may have a wider mode.
    bool written = ::fchmod(fd, 0600) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written) {
        ::unlink(temporary.constData());
        return false;
    }
    if (keepBackup && QFileInfo(path).isFile()) {
        if (::rename(target.constData(), backup.constData()) == 0)
            ::chmod(backup.constData(), 0600);
    }
    if (::rename(temporary.constData(), target.constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    if (!keepBackup && QFileInfo(QFile::decodeName(backup)).isFile())
        ::unlink(backup.constData());
    syncFolderOf(path);
    return true;
}

bool removeWithCopies(const QString &path) {
    bool removed = true;
    for (const char *extension : {"tmp", "bak"})
        removed = removeIfThere(QFile::encodeName(withExtension(path, extension))) && removed;
    removed = removeIfThere(QFile::encodeName(path)) && removed;
    syncFolderOf(path);
    return removed;
}
#else
void syncFolderOf(const QString &) {}

bool removeWithCopies(const QString &path) {
    bool removed = true;
    for (const QString &file : {withExtension(path, "tmp"), withExtension(path, "bak"), path})
        removed = (!QFileInfo::exists(file) || QFile::remove(file)) && removed;
    return removed;
}

bool replaceOwnerOnly(const QString &path, const QByteArray &bytes, bool keepBackup) {
    const QString backup = withExtension(path, "bak");
    if (keepBackup && QFileInfo(path).isFile()) {
        QFile::remove(backup);
        QFile::copy(path, backup);
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(bytes);
    if (!file.commit())
        return false;
    if (!keepBackup)
        QFile::remove(backup);
    return true;
}
#endif
} // namespace

obs_data_t *readSettingsFile(const QString &path, const char *backupExtension) {
    const bool withBackup = backupExtension && *backupExtension;
    if (!isReadableOrAbsent(path)) {
        logMessage(LOG_WARNING, "Ignoring %s: not a regular file of a sane size", path.toUtf8().constData());
        return nullptr;
    }
    const QByteArray pathUtf8 = path.toUtf8();
    if (withBackup && !isReadableOrAbsent(withExtension(path, backupExtension))) {
        logMessage(LOG_WARNING, "Ignoring %s: not a regular file of a sane size",
                   withExtension(path, backupExtension).toUtf8().constData());
        return QFileInfo(path).isFile() ? obs_data_create_from_json_file(pathUtf8.constData()) : nullptr;
    }
    if (!withBackup)
        return QFileInfo(path).isFile() ? obs_data_create_from_json_file(pathUtf8.constData()) : nullptr;
    return obs_data_create_from_json_file_safe(pathUtf8.constData(), backupExtension);
}

bool writeSettingsFile(const QString &path, obs_data_t *settings) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    const bool saved = obs_data_save_json_safe(settings, path.toUtf8().constData(), "tmp", "bak");
    syncFolderOf(path);
    return saved;
}

bool removeSettingsFile(const QString &path) {
    return removeWithCopies(path);
}

bool writeOwnerOnlySettingsFile(const QString &path, obs_data_t *settings, bool keepBackup) {
    const char *json = obs_data_get_json(settings);
    return writeOwnerOnlyFile(path, QByteArray(json ? json : "{}"), keepBackup);
}

bool writeOwnerOnlyFile(const QString &path, const QByteArray &bytes, bool keepBackup) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    return replaceOwnerOnly(path, bytes, keepBackup);
}
