#pragma once

#include <QByteArray>

#include <string>
#include <utility>
#include <vector>
#include <sys/types.h>

#include "net/Reason.h"

// The configuration file on disk: read whole without ever blocking, replaced atomically.
namespace ConfigFile {

// A file of 200 ports is about 25 KB; anything this large is no configuration.
constexpr qsizetype MaxBytes = 4 * 1024 * 1024;

struct Contents {
    QByteArray text;
    bool exists = false;
    mode_t mode = 0;  // the file's permission bits
    // What kept the file from being read: ConfigUnreadable, ConfigNotRegularFile or
    // ConfigTooLarge, naming the path.
    Reason error;
};

// A missing file is no error. Only a regular file (a link to one is followed) is opened, and
// without waiting for a writer or a device.
Contents Read(const std::string& path);

// Replaces the file with text: a new file of mode 0600 in the same folder, synced and renamed
// over the old one, so a crash leaves the old or the new file whole. Missing folders are made
// 0700, and the file's own folder is made 0700 when it was open to others. A link is
// followed: the file it names is replaced and the link stays. 0, or the errno of the step
// that failed.
//
// The new file is ".<name>.XXXXXX" (six letters or digits), locked (flock) from when it is
// made until it has its final name, so a save in progress is told from one cut short.
int Replace(const std::string& path, const QByteArray& text);

// Removes the new files of replacements cut short (a crash, SIGKILL) beside the file: regular
// files of Replace's naming that belong to this user and that no live replacement holds.
// The paths removed; failed names what could not be removed, with the errno.
std::vector<std::string> RemoveLeftovers(const std::string& path, std::vector<std::pair<std::string, int>>* failed);

}  // namespace ConfigFile
