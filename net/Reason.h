#pragma once

#include <string>
#include <utility>

// Why something could not be done, as data: the kind of failure, what it names and the
// system's reason. Each surface says it in its own language: the log, the bus's details and
// the command-line tool in English (English() here), the window in Chinese
// (service/PortMessages). A new kind is one line in each of the two tables.
struct Reason {
    enum class Kind {
        None,
        // Why a port is not served. subject: the port's name, unless said otherwise.
        NumberServedTwice,  // detail: the slot (from 1) that serves the number already
        NameServedTwice,
        NoPseudoTerminal,  // subject: none
        NotWatched,
        BadPortName,
        LinkTaken,            // subject: the path that is taken
        LinkNotMade,          // subject: the link's path
        DirectoryNotCreated,  // subject: the port directory, here and below
        DirectoryIsLink,
        DirectoryNotOpened,
        DirectoryNotExamined,
        DirectoryOfOtherUser,   // detail: the owner's user id
        DirectoryOpenToOthers,  // detail: its mode ("0777")
        SharedPortNotOpen,      // subject: none
        NoVirtualPort,
        DescriptorLimit,  // too few descriptors left (error EMFILE); detail: the limit
        NoPump,
        NoTcpLink,
        // Why a port that is served cannot hear or reach its DTU. subject: the port's name,
        // unless said otherwise.
        DtuTakenByCode,     // subject, detail: the port (name, slot from 1) that comes first
        DtuTakenByAddress,  // with the same fixed address and another code; as above
        NoFixedAddress,     // detail: the address "A.B.C.D:port" it has instead
        NoTcpAddress,       // a fixed-address TCP port; detail as above
        TcpWaitsForLogin,   // a dynamic-login TCP port whose DTU has not logged in yet
        PeerIpRefused,      // detail: the stored PeerIP text
        // The network. subject: the UDP port number.
        UdpPortTaken,
        // A port's network server. subject: the address "A.B.C.D:port"; detail: the port's name.
        NetPortNotListening,
        // The configuration file. subject: the file. What is wrong with it, true whether it was
        // being loaded or saved; what follows is said by whoever read or wrote it.
        ConfigUnreadable,
        ConfigNotRegularFile,  // detail: what it is instead ("a FIFO"), in English
        ConfigTooLarge,        // detail: the most that is read, in MiB
        ConfigNotSetting,      // detail: the line number
        ConfigNotSaved,        // error 0: the system gave no reason
        // What a save kept or did besides its change. detail: the group and its keys, "[2]
        // (Code, PeerIP)".
        ConfigHandEditsKept,      // lines edited by hand since the last load, kept as they are
        ConfigSettingsEditsKept,  // the same for the global values, which apply at a start
        ConfigGroupWrittenAgain,  // detail: "[2]"; the group had been removed by hand
        // What a start does when the file could not be read at all.
        DefaultSettingsUsed,
        // A port's latest error, as its statistics keep it. subject: the DTU's address
        // "A.B.C.D:port"; detail: a count of bytes.
        TcpAttemptFailed,  // the system's reason why
        TcpConnectionEnded,
        BytesDropped,     // the bytes the application did not read in time
        DatagramTooLong,  // detail: the datagram's length
        ChunkNotSent,     // the application's bytes
        ChunkWithoutDtu,  // the application's bytes; subject: none
    };

    Reason() = default;
    Reason(Kind kind, std::string subject = {}, std::string detail = {}, int error = 0)
        : kind(kind), subject(std::move(subject)), detail(std::move(detail)), error(error)
    {
    }

    Kind kind = Kind::None;
    std::string subject;
    std::string detail;
    int error = 0;  // errno; 0 when the system gave none

    explicit operator bool() const { return kind != Kind::None; }
    bool operator==(const Reason& other) const
    {
        return kind == other.kind && subject == other.subject && detail == other.detail && error == other.error;
    }
    bool operator!=(const Reason& other) const { return !(*this == other); }

    // The sentence in English, with the system's reason where there is one.
    std::string English() const;
    // A sentence of another table: %1 the subject, %2 the detail, %3 the system's reason
    // (withoutSystem when the system gave none).
    std::string Fill(const char* pattern, const std::string& withoutSystem) const;
};
