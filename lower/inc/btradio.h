// btradio.h: L2CAP sockets of the Linux Bluetooth stack, for the socket radio (socketradio.h).
// The radio serves them as it serves AF_UNIX sockets; only the listening socket, outgoing
// channels and each channel's MTU come from here. The few kernel constants and the address layout
// are declared here, so building needs no Bluetooth headers.
#pragma once

#include "wdm.h"

#include <cstdint>
#include <string>

namespace kivbt {

constexpr USHORT SDP_PSM = 0x0001;
// The channel MTUs the SDP device works with.
constexpr USHORT MIN_CHANNEL_MTU = 48;
constexpr USHORT MAX_CHANNEL_MTU = 512;

// struct sockaddr_l2 of the kernel: the PSM little-endian, the adapter address (all zero: any).
struct SOCKADDR_L2 {
    uint16_t Family;
    uint16_t PsmLe;
    uint8_t Bdaddr[6];
    uint16_t CidLe;
    uint8_t BdaddrType;
};
static_assert(sizeof(SOCKADDR_L2) == 14, "the kernel's sockaddr_l2 is 14 bytes");

SOCKADDR_L2 AnyAdapterAddress(USHORT Psm);
USHORT ClampMtu(unsigned Mtu);

// A SEQPACKET L2CAP socket bound to Psm on every adapter, offering Mtu as its incoming MTU, and
// listening. -1 on failure, with Err one line naming the reason (no Bluetooth in this kernel,
// the PSM taken, a missing capability).
int OpenL2capListener(USHORT Psm, USHORT Mtu, std::string& Err);

// AA:BB:CC:DD:EE:FF (hex digits of either case) into the kernel's byte order; false when Text is
// not such an address.
bool ParseBluetoothAddress(const std::string& Text, uint8_t (&Bdaddr)[6]);

// An outgoing L2CAP channel to Psm of the device at Address (AA:BB:CC:DD:EE:FF), offering Mtu as
// the incoming MTU, connected. -1 on failure, with Err one line naming the reason (not an
// address, no Bluetooth in this kernel, the device not reached).
int OpenL2capConnection(const std::string& Address, USHORT Psm, USHORT Mtu, std::string& Err);

// The MTU to report for an accepted channel: what the peer can receive (the socket's outgoing
// MTU as configured with it), clamped to the device's range; the minimum when it cannot be read.
USHORT L2capChannelMtu(int Fd);

} // namespace kivbt
