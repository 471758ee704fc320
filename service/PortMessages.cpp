#include "service/PortMessages.h"

#include <ctime>

#include "service/PortService.h"

namespace PortMessages {

namespace {

// %1 the subject, %2 the detail, %3 the system's reason.
const char* ReasonTemplate(Reason::Kind kind)
{
    using K = Reason::Kind;
    switch (kind) {
    case K::None: return "";
    case K::NumberServedTwice: return "%1已由槽位%2的端口提供，本端口未启用。";
    case K::NameServedTwice: return "%1已由本程序的另一个端口提供。";
    case K::NoPseudoTerminal: return "无法创建伪终端：%3";
    case K::NotWatched: return "无法监视%1的伪终端。";
    case K::BadPortName: return "“%1”不能用作端口名。";
    case K::LinkTaken: return "%1 已被其他程序占用（不是本程序创建的），本程序不会改动它。";
    case K::LinkNotMade: return "无法创建 %1：%3";
    case K::DirectoryNotCreated: return "无法创建端口目录 %1：%3";
    case K::DirectoryIsLink: return "端口目录 %1 是符号链接，已拒绝使用。";
    case K::DirectoryNotOpened: return "无法打开端口目录 %1：%3";
    case K::DirectoryNotExamined: return "无法检查端口目录 %1：%3";
    case K::DirectoryOfOtherUser: return "端口目录 %1 属于用户%2，不属于当前用户，已拒绝使用。";
    case K::DirectoryOpenToOthers: return "端口目录 %1 对其他用户开放（权限%2，应为0700），已拒绝使用。";
    case K::SharedPortNotOpen: return "共用的虚拟串口未打开。";
    case K::NoVirtualPort: return "%1没有虚拟串口。";
    case K::DescriptorLimit: return "可用的文件描述符不足，%1未启用：%3（上限%2，其中16个留给程序的其他部分）";
    case K::NoPump: return "%1的数据转发无法启动。";
    case K::NoTcpLink: return "无法为%1建立TCP连接：%3";
    case K::DtuTakenByCode: return "%1（槽位%2）排在前面且编码相同，DTU的数据包都由它接收，本端口收不到。";
    case K::DtuTakenByAddress: return "%1（槽位%2）排在前面且固定IP相同、编码不同，来自该地址的数据包到不了本端口。";
    case K::NoFixedAddress:
        return "%1使用固定IP，但没有可用的地址（%2），DTU永远无法登录。请填入DTU的地址，或选择动态登录。";
    case K::NoTcpAddress: return "%1使用固定IP，但没有可用的地址（%2），TCP连接在等待地址。";
    case K::TcpWaitsForLogin: return "%1使用动态登录，TCP连接在等待DTU登录以得知它的地址。";
    case K::PeerIpRefused: return "%1的PeerIP“%2”不是有效的IPv4地址（每段0到255，端口0到65535），因此没有DTU地址。";
    case K::UdpPortTaken: return "UDP端口%1无法打开：%3\n在它空闲之前，DTU无法登录。";
    case K::NetPortNotListening: return "无法在TCP %1上接受网络客户端：%3\n%2照常工作，但网络客户端无法连接。";
    case K::ConfigUnreadable: return "无法读取配置文件 %1：%3";
    case K::ConfigNotRegularFile:
        return "配置文件 %1 不是普通文件（可能是文件夹、管道或设备），本程序不读取也不写入它。";
    case K::ConfigTooLarge: return "配置文件 %1 大于%2MiB，本程序不读取它。";
    case K::ConfigNotSetting: return "配置文件 %1 第%2行不是有效的设置，已跳过；修正之前不会写入该文件。";
    case K::ConfigNotSaved: return "无法把配置保存到 %1：%3";
    case K::ConfigHandEditsKept:
        return "配置文件 %1 中的%2在上次读取后被手工修改过；本次更改保留了这些行，它们在下次重新读取或启动时生效。";
    case K::ConfigSettingsEditsKept:
        return "配置文件 %1 中的%2在上次读取后被手工修改过；本次更改保留了这些行，它们在下次启动时生效。";
    case K::ConfigGroupWrittenAgain:
        return "配置文件 %1 中的%2已被手工删除且尚未重新读取；本次更改重新写入了整组设置。";
    case K::DefaultSettingsUsed: return "本程序以默认设置运行，没有端口。";
    case K::TcpAttemptFailed: return "无法连接到%1：%3";
    case K::TcpConnectionEnded: return "与%1的TCP连接已断开。";
    case K::BytesDropped: return "来自%1的%2字节已丢弃：应用程序没有及时读取。";
    case K::DatagramTooLong: return "来自%1的数据包长%2字节，过长，未接收。";
    case K::ChunkNotSent: return "应用程序写入的%2字节无法发送到%1。";
    case K::ChunkWithoutDtu: return "应用程序写入的%2字节已丢失：DTU尚未登录。";
    }
    return "";
}

}  // namespace

std::string IntegerRange(int min, int max)
{
    return "“请填入一个在" + std::to_string(min) + "和" + std::to_string(max) + "之间的整数。”";
}

std::string TextTooLong(int maxBytes)
{
    return "“请填入不多于" + std::to_string(maxBytes) + "个的字符。”";
}

std::string Text(const PortError& error)
{
    using K = PortError::Kind;
    switch (error.kind) {
    case K::None: return {};
    case K::NumberOutOfRange: return IntegerRange(PortService::MinNumber, PortService::MaxNumber);
    case K::NumberInUse: return NumberInUse;
    case K::TableFull: return TableFull;
    case K::CodeTooLong: return TextTooLong(PortService::MaxCodeBytes);
    case K::IntervalOutOfRange: return IntegerRange(PortService::MinInterval, PortService::MaxInterval);
    case K::FrameGapOutOfRange: return IntegerRange(0, PortConfig::MaxFrameGap);
    case K::NetPortOutOfRange: return IntegerRange(0, PortConfig::MaxNetPort);
    case K::NetPortInUse: return "该网络端口已被其他串口使用。";
    case K::NetModeInvalid: return "网络模式只能是rfc2217或raw。";
    case K::InvalidAddress: return "“" + error.value + "”不是有效的IP地址。";
    case K::NoSuchPort:
        if (error.key == "number")
            return "没有端口号为" + error.value + "的端口。";
        if (error.key == "code")
            return "没有编码为“" + error.value + "”的端口。";
        return "该端口已不存在。";
    case K::PortInUse: return PortInUse;
    case K::InvalidArgument: return "请求无效：" + error.key + ": " + error.value;
    case K::SaveFailed:
    case K::ConfigNotRegularFile:
    case K::ConfigTooLarge:
    case K::ConfigUnreadable:
    case K::ConfigNotSettings: return Text(error.cause) + "\n这项更改没有保存，也没有生效。";
    case K::NotAnswered:
        return error.key == "gone" ? "提供虚拟串口的 MV5840VSP 服务没有运行，这项更改没有生效。"
                                   : "提供虚拟串口的 MV5840VSP 服务没有回答，这项更改是否生效未知。";
    case K::NotAnswering: return "本程序的数据转发没有响应，这项更改没有保存，也没有生效。请稍后再试。";
    case K::NotAnsweredYet: return "本程序的数据转发没有响应。这项更改已保存，将在数据转发恢复响应后生效。";
    }
    return {};
}

std::string Text(const Reason& reason)
{
    return reason.Fill(ReasonTemplate(reason.kind), "文件无法写入");
}

std::string Text(const LineState& line)
{
    std::string text = std::to_string(line.baud) + " " + std::to_string(line.dataBits) + line.parity
                       + std::to_string(line.stopBits);
    if (line.flow == "rtscts")
        text += "，RTS/CTS流控";
    else if (line.flow == "xonxoff")
        text += "，XON/XOFF流控";
    text += std::string("，DTR") + (line.dtr ? "开" : "关") + "，RTS" + (line.rts ? "开" : "关");
    return text;
}

std::string FrameGap(int milliseconds)
{
    return "帧间隔：" + std::to_string(milliseconds) + "毫秒";
}

std::string Network(const PortStatus& port)
{
    if (port.config.NetPort == 0)
        return {};
    if (port.netFailure)
        return Text(port.netFailure);
    return "网络端口：TCP " + std::to_string(port.config.NetPort)
           + (port.config.NetMode == "raw" ? "（原始数据）" : "（RFC 2217）") + "，客户端："
           + (port.netClient.empty() ? std::string("无") : port.netClient) + "，已连接"
           + std::to_string(port.statistics.netClients) + "次";
}

std::string Statistics(const PortStatus& port)
{
    const PortStatistics& s = port.statistics;
    auto n = [](uint64_t count) { return std::to_string(count); };
    std::string text = "收到：" + n(s.rxBytes) + "字节，" + n(s.rxDatagrams)
                       + (port.config.UseTcp ? "次读取" : "个数据包");
    text += "\n发送：" + n(s.txBytes) + "字节，" + n(s.txChunks) + "个数据块";
    if (port.config.UseTcp)
        text += "\nTCP连接：成功" + n(s.tcpConnects) + "次，失败" + n(s.tcpRefusals) + "次，断开" + n(s.tcpDisconnects)
                + "次";
    else
        text += "\n登录：" + n(s.logins) + "次，地址变更" + n(s.loginAddressChanges) + "次";
    if (s.bytesDropped > 0)
        text += "\n丢弃：" + n(s.bytesDropped) + "字节";
    if (s.oversizedDatagrams > 0)
        text += "\n过长的数据包：" + n(s.oversizedDatagrams) + "个";
    if (port.lastError && s.lastErrorMs >= 0) {
        const time_t seconds = static_cast<time_t>(s.lastErrorMs / 1000);
        tm local{};
        char when[32] = "";
        if (localtime_r(&seconds, &local))
            strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
        text += "\n最近错误：" + std::string(when) + " " + Text(port.lastError);
    }
    return text;
}

}  // namespace PortMessages
