// btradio.cpp: L2CAP sockets of the Linux Bluetooth stack (see btradio.h).

#include "btradio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <endian.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// From the kernel's Bluetooth socket interface.
constexpr int KIV_AF_BLUETOOTH = 31;
constexpr int KIV_BTPROTO_L2CAP = 0;
constexpr int KIV_SOL_L2CAP = 6;
constexpr int KIV_L2CAP_OPTIONS = 0x01;
constexpr int KIV_SOL_BLUETOOTH = 274;
constexpr int KIV_BT_SNDMTU = 12;

struct L2CAP_OPTIONS_T {
    uint16_t Omtu;
    uint16_t Imtu;
    uint16_t FlushTo;
    uint8_t Mode;
    uint8_t Fcs;
    uint8_t MaxTx;
    uint16_t TxWinSize;
};
static_assert(sizeof(L2CAP_OPTIONS_T) == 12, "the kernel's l2cap_options is 12 bytes");

std::string Reason(int Error)
{
    return strerror(Error);
}

} // namespace

namespace kivbt {

SOCKADDR_L2 AnyAdapterAddress(USHORT Psm)
{
    SOCKADDR_L2 Addr;
    memset(&Addr, 0, sizeof(Addr));
    Addr.Family = KIV_AF_BLUETOOTH;
    Addr.PsmLe = htole16(Psm);
    return Addr;
}

USHORT ClampMtu(unsigned Mtu)
{
    if (Mtu < MIN_CHANNEL_MTU) return MIN_CHANNEL_MTU;
    if (Mtu > MAX_CHANNEL_MTU) return MAX_CHANNEL_MTU;
    return USHORT(Mtu);
}

} // namespace kivbt

namespace {

// A SEQPACKET L2CAP socket offering Mtu as its incoming MTU; -1 with Err when the kernel has
// no Bluetooth or no socket to give.
int OpenL2capSocket(USHORT Mtu, std::string& Err)
{
    int Fd = socket(KIV_AF_BLUETOOTH, SOCK_SEQPACKET | SOCK_CLOEXEC, KIV_BTPROTO_L2CAP);
    if (Fd < 0) {
        int Error = errno;
        if (Error == EAFNOSUPPORT || Error == EPROTONOSUPPORT || Error == ESOCKTNOSUPPORT)
            Err = "no Bluetooth in this kernel: an L2CAP socket cannot be opened (" +
                  Reason(Error) + ")";
        else
            Err = "cannot open an L2CAP socket: " + Reason(Error);
        return -1;
    }
    // The incoming MTU is offered in the configuration of every channel of the socket.
    L2CAP_OPTIONS_T Options;
    socklen_t Len = sizeof(Options);
    if (getsockopt(Fd, KIV_SOL_L2CAP, KIV_L2CAP_OPTIONS, &Options, &Len) == 0) {
        Options.Imtu = Mtu;
        (void)setsockopt(Fd, KIV_SOL_L2CAP, KIV_L2CAP_OPTIONS, &Options, sizeof(Options));
    }
    return Fd;
}

} // namespace

namespace kivbt {

int OpenL2capListener(USHORT Psm, USHORT Mtu, std::string& Err)
{
    int Fd = OpenL2capSocket(Mtu, Err);
    if (Fd < 0) return -1;
    SOCKADDR_L2 Addr = AnyAdapterAddress(Psm);
    char PsmText[16];
    snprintf(PsmText, sizeof(PsmText), "PSM %u", unsigned(Psm));
    if (bind(Fd, reinterpret_cast<const sockaddr*>(&Addr), sizeof(Addr)) != 0) {
        int Error = errno;
        if (Error == EADDRINUSE)
            Err = std::string(PsmText) +
                  " is taken, most likely by the system's SDP server: stop it or free the PSM";
        else if (Error == EACCES || Error == EPERM)
            Err = std::string("binding ") + PsmText + " needs CAP_NET_BIND_SERVICE (" +
                  Reason(Error) + ")";
        else
            Err = std::string("cannot bind L2CAP ") + PsmText + ": " + Reason(Error);
        close(Fd);
        return -1;
    }
    if (listen(Fd, 32) != 0) {
        Err = std::string("cannot listen on L2CAP ") + PsmText + ": " + Reason(errno);
        close(Fd);
        return -1;
    }
    return Fd;
}

bool ParseBluetoothAddress(const std::string& Text, uint8_t (&Bdaddr)[6])
{
    if (Text.size() != 17) return false;
    uint8_t Bytes[6];
    for (size_t i = 0; i < 6; i++) {
        if (i < 5 && Text[3 * i + 2] != ':') return false;
        unsigned v = 0;
        for (size_t k = 0; k < 2; k++) {
            const char c = Text[3 * i + k];
            const int d = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
            if (d < 0) return false;
            v = v << 4 | unsigned(d);
        }
        Bytes[i] = uint8_t(v);
    }
    // The kernel keeps the address least significant byte first: FF first for AA:..:FF.
    for (size_t i = 0; i < 6; i++)
        Bdaddr[i] = Bytes[5 - i];
    return true;
}

int OpenL2capConnection(const std::string& Address, USHORT Psm, USHORT Mtu, std::string& Err)
{
    SOCKADDR_L2 Addr = AnyAdapterAddress(Psm);
    if (!ParseBluetoothAddress(Address, Addr.Bdaddr)) {
        Err = "'" + Address + "' is not a Bluetooth address (AA:BB:CC:DD:EE:FF)";
        return -1;
    }
    int Fd = OpenL2capSocket(Mtu, Err);
    if (Fd < 0) return -1;
    // A blocking connect: paging the device and setting up the channel take a few seconds at
    // most, bounded by the kernel's own timeouts.
    if (connect(Fd, reinterpret_cast<const sockaddr*>(&Addr), sizeof(Addr)) != 0) {
        Err = "cannot connect to L2CAP PSM " + std::to_string(Psm) + " of " + Address + ": " +
              Reason(errno);
        close(Fd);
        return -1;
    }
    return Fd;
}

USHORT L2capChannelMtu(int Fd)
{
    // BR/EDR channels (SDP's) answer L2CAP_OPTIONS; BT_SNDMTU covers the others.
    L2CAP_OPTIONS_T Options;
    socklen_t Len = sizeof(Options);
    if (getsockopt(Fd, KIV_SOL_L2CAP, KIV_L2CAP_OPTIONS, &Options, &Len) == 0 &&
        Len >= sizeof(uint16_t))
        return ClampMtu(Options.Omtu);
    uint16_t Mtu = 0;
    Len = sizeof(Mtu);
    if (getsockopt(Fd, KIV_SOL_BLUETOOTH, KIV_BT_SNDMTU, &Mtu, &Len) == 0 && Len == sizeof(Mtu))
        return ClampMtu(Mtu);
    return MIN_CHANNEL_MTU;
}

} // namespace kivbt
