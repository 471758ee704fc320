#include "service/PortError.h"

const char* PortError::Name(Kind kind)
{
    switch (kind) {
    case Kind::None: return "";
    case Kind::NumberOutOfRange: return "NumberOutOfRange";
    case Kind::NumberInUse: return "NumberInUse";
    case Kind::TableFull: return "TableFull";
    case Kind::CodeTooLong: return "CodeTooLong";
    case Kind::IntervalOutOfRange: return "IntervalOutOfRange";
    case Kind::FrameGapOutOfRange: return "FrameGapOutOfRange";
    case Kind::NetPortOutOfRange: return "NetPortOutOfRange";
    case Kind::NetPortInUse: return "NetPortInUse";
    case Kind::NetModeInvalid: return "NetModeInvalid";
    case Kind::InvalidAddress: return "InvalidAddress";
    case Kind::NoSuchPort: return "NoSuchPort";
    case Kind::PortInUse: return "PortInUse";
    case Kind::SaveFailed: return "SaveFailed";
    case Kind::InvalidArgument: return "InvalidArgument";
    case Kind::ConfigNotRegularFile: return "ConfigNotRegularFile";
    case Kind::ConfigTooLarge: return "ConfigTooLarge";
    case Kind::ConfigUnreadable: return "ConfigUnreadable";
    case Kind::ConfigNotSettings: return "ConfigNotSettings";
    case Kind::NotAnswered: return "NotAnswered";
    case Kind::NotAnswering: return "NotAnswering";
    case Kind::NotAnsweredYet: return "NotAnsweredYet";
    }
    return "";
}

bool PortError::ByTheFile() const
{
    switch (kind) {
    case Kind::SaveFailed:
    case Kind::ConfigNotRegularFile:
    case Kind::ConfigTooLarge:
    case Kind::ConfigUnreadable:
    case Kind::ConfigNotSettings: return true;
    default: return false;
    }
}
