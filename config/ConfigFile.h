#pragma once

#include <QByteArray>

#include <string>
#include <sys/types.h>

// Why the configuration file could not be read or written: a kind a front end can act on and
// a text that names the file and the system's reason.
struct ConfigError {
    enum class Kind {
        None,
        NotRegularFile,  // a FIFO, a device, a folder: never read, never written over
        TooLarge,        // more than ConfigFile::MaxBytes
        Unreadable,      // the system refused to open or read it
        NotSettings,     // it holds a line that is no setting: not written over
        Unwritable,      // the new text could not be written
    };

    Kind kind = Kind::None;
    std::string message;

    explicit operator bool() const { return kind != Kind::None; }
};

// The configuration file on disk: read whole without ever blocking, replaced atomically.
namespace ConfigFile {

// A file of 200 ports is about 25 KB; anything this large is no configuration.
constexpr qsizetype MaxBytes = 4 * 1024 * 1024;

struct Contents {
    QByteArray text;
    bool exists = false;
    mode_t mode = 0;  // the file's permission bits
    // Says what kept the file from being read; its message is "<path> <what is wrong>".
    ConfigError error;
};

// A missing file is no error. Only a regular file (a link to one is followed) is opened, and
// without waiting for a writer or a device.
Contents Read(const std::string& path);

// Replaces the file with text: a new file of mode 0600 in the same folder, synced and renamed
// over the old one, so a crash leaves the old or the new file whole. Missing folders are made
// 0700, and the file's own folder is made 0700 when it was open to others. A link is
// followed: the file it names is replaced and the link stays. The error's message is the
// system's reason.
ConfigError Replace(const std::string& path, const QByteArray& text);

}  // namespace ConfigFile
