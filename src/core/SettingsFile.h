// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <obs.h>

// The module's small JSON settings files.

// A new reference to the file's settings, or null when there are none. A file (or its backup) that is
// not a regular file of a sane size is not read: libobs would fail hard on it. Then the caller keeps its
// defaults and one warning names the file.
obs_data_t *readSettingsFile(const QString &path, const char *backupExtension);

// Writes through libobs's safe save ("tmp", then the previous content kept as "bak"), after creating
// the folder. False when it could not be written.
bool writeSettingsFile(const QString &path, obs_data_t *settings);

// For files that hold secrets: readable by the owner only (0600), its temporary file too, replaced in one
// step. With keepBackup the previous content stays as "bak" (also owner-only); without it no backup is
// kept and an old one is removed, so a replaced secret leaves no copy behind.
bool writeOwnerOnlySettingsFile(const QString &path, obs_data_t *settings, bool keepBackup);
// The same for the settings' JSON text, after creating the folder.
bool writeOwnerOnlyFile(const QString &path, const QByteArray &bytes, bool keepBackup);

// Removes the file with its temporary and backup copies, which needs no free space. False when one of them
// is still there.
bool removeSettingsFile(const QString &path);
