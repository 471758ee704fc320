#include "net/Reason.h"

#include "net/Log.h"

namespace {

// %1 the subject, %2 the detail, %3 the system's reason.
const char* EnglishTemplate(Reason::Kind kind)
{
    using K = Reason::Kind;
    switch (kind) {
    case K::None: return "";
    case K::NumberServedTwice: return "slot %2 already serves %1";
    case K::NameServedTwice: return "%1 is already served by another port of this program";
    case K::NoPseudoTerminal: return "cannot make a pseudo-terminal: %3";
    case K::NotWatched: return "cannot watch the pseudo-terminal for %1";
    case K::BadPortName: return "\"%1\" cannot be a port name";
    case K::LinkTaken: return "%1 is taken by something this program did not make; it is left alone";
    case K::LinkNotMade: return "cannot make %1: %3";
    case K::DirectoryNotCreated: return "port directory %1 cannot be created: %3";
    case K::DirectoryIsLink: return "port directory %1 is a symbolic link; refused";
    case K::DirectoryNotOpened: return "port directory %1 cannot be opened: %3";
    case K::DirectoryNotExamined: return "port directory %1 cannot be examined: %3";
    case K::DirectoryOfOtherUser: return "port directory %1 belongs to user %2, not to this user; refused";
    case K::DirectoryOpenToOthers: return "port directory %1 is open to other users (mode %2, must be 0700); refused";
    case K::SharedPortNotOpen: return "the shared port is not open";
    case K::NoVirtualPort: return "no virtual port for %1";
    case K::DescriptorLimit:
        return "too few descriptors are left for it: %3 (descriptor limit %2; 16 are kept for the rest of the program)";
    case K::NoPump: return "its pump cannot start";
    case K::NoTcpLink: return "cannot make its TCP link: %3";
    case K::DtuTakenByCode:
        return "it never hears its DTU: %1 (slot %2) comes first with the same code and takes its datagrams";
    case K::DtuTakenByAddress:
        return "it never hears its DTU: %1 (slot %2) comes first with the same fixed address and another code, "
               "so datagrams from that address go no further";
    case K::NoFixedAddress:
        return "its DTU can never log in: it has a fixed address but no usable one (%2); give it the DTU's address "
               "or dynamic login";
    case K::NoTcpAddress: return "its TCP link waits: it has a fixed address but no usable one (%2) to connect to";
    case K::TcpWaitsForLogin:
        return "its TCP link waits for its DTU to log in (dynamic login) to learn where to connect";
    case K::PeerIpRefused:
        return "its PeerIP \"%2\" is no IPv4 address (each number 0 to 255, a port 0 to 65535), so it has no DTU "
               "address";
    case K::UdpPortTaken: return "UDP port %1 cannot be opened: %3; DTUs cannot log in until it is free";
    case K::NetPortNotListening: return "cannot listen on TCP %1 for network clients: %3; %2 is served without them";
    case K::ConfigUnreadable: return "configuration file %1 cannot be read: %3";
    case K::ConfigNotRegularFile: return "configuration file %1 is %2, not a regular file";
    case K::ConfigTooLarge: return "configuration file %1 is larger than %2 MiB; it is not read";
    case K::ConfigNotSetting:
        return "configuration file %1, line %2 is not a setting; such lines are skipped, and the file is not "
               "written until that line is mended";
    case K::ConfigNotSaved: return "cannot save the configuration to %1: %3";
    case K::ConfigHandEditsKept:
        return "configuration file %1: group %2 was edited by hand since it was last loaded; the change kept "
               "those lines as they are, and they apply at the next reload or start";
    case K::ConfigSettingsEditsKept:
        return "configuration file %1: %2 was edited by hand since it was last loaded; the change kept those "
               "lines as they are, and they apply at the next start";
    case K::ConfigGroupWrittenAgain:
        return "configuration file %1: group %2 had been removed by hand and not reloaded yet; the change wrote "
               "it whole again";
    case K::DefaultSettingsUsed:
        return "configuration file %1 is not used: running with the default settings and no ports";
    case K::TcpAttemptFailed: return "cannot connect to %1: %3";
    case K::TcpConnectionEnded: return "the TCP connection to %1 ended";
    case K::BytesDropped: return "%2 bytes from %1 were dropped: the application did not read them in time";
    case K::DatagramTooLong: return "a datagram of %2 bytes from %1 was too long to take";
    case K::ChunkNotSent: return "%2 bytes the application wrote could not be sent to %1";
    case K::ChunkWithoutDtu: return "%2 bytes the application wrote were lost: the DTU has not logged in";
    }
    return "";
}

}  // namespace

std::string Reason::English() const
{
    return Fill(EnglishTemplate(kind), "the file could not be written");
}

std::string Reason::Fill(const char* pattern, const std::string& withoutSystem) const
{
    const std::string system = error != 0 ? Log::SystemReason(error) : withoutSystem;
    std::string text;
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '3') {
            text += p[1] == '1' ? subject : p[1] == '2' ? detail : system;
            ++p;
        } else {
            text += *p;
        }
    }
    return text;
}
