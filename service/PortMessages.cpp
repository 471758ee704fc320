#include "service/PortMessages.h"

namespace PortMessages {

std::string IntegerRange(int min, int max)
{
    return "“请填入一个在" + std::to_string(min) + "和" + std::to_string(max) + "之间的整数。”";
}

std::string TextTooLong(int maxBytes)
{
    return "“请填入不多于" + std::to_string(maxBytes) + "个的字符。”";
}

}  // namespace PortMessages
