#pragma once

#include <memory>
#include <string>

#include "net/Reason.h"

// The symbolic link through which applications find one port: <port directory>/<name>,
// pointing at the pseudo-terminal's slave. The link is made only inside a private directory
// of the user's own and never through or over anything the user does not own.
class PortLink {
public:
    // $XDG_RUNTIME_DIR/MV5840VSP when that variable holds an absolute path, else
    // /tmp/MV5840VSP-<uid>.
    static std::string Directory();

    // Makes (or atomically replaces a stale) link called name that points at target. Null, with
    // failure saying why, when the directory is not safe to use, the name is not a plain file
    // name, or the place is taken by something that is not a link of the user's own.
    static std::unique_ptr<PortLink> Create(const std::string& name, const std::string& target,
                                            Reason* failure = nullptr);

    // Removes the link, but only while it still points at this port's target.
    ~PortLink();
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    std::string Path() const { return directory_ + "/" + name_; }
    const std::string& Name() const { return name_; }
    // Makes the link again when nothing is called by its name any more, and the directory
    // with it when that is gone; anything else found there is left alone. made: whether it
    // was made. Why it could not be, or none.
    Reason Restore(bool& made) const;

private:
    PortLink(std::string directory, std::string name, std::string target);

    const std::string directory_;
    const std::string name_;
    const std::string target_;
};
