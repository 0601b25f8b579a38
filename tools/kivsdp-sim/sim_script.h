// Scenario script reader for kivsdp-sim. A script is read and checked whole
// before any command runs, so a malformed line never leaves a half-run scenario.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

enum class SIM_VERB {
    Connect,    // connect CID MTU
    Config,     // config CID MTU
    Disconnect, // disconnect CID
    Frame,      // frame CID BYTES
    AddRecord,  // add-record
    DelRecord,  // del-record HANDLE
    AddAttr,    // add-attr HANDLE ID BYTES
    DelAttr,    // del-attr HANDLE ID
    Zone,       // zone MASK      (set the debug zone mask)
    Dbg,        // dbg on|off|hide WORD...|show-all (show debug print lines, hide some)
    // The commands below need the whole device stack.
    Status,         // status CID CODE MTU         (any channel event code)
    Open,           // open                        (another application handle)
    Close,          // close APP
    Cancel,         // cancel APP                  (cancel the handle's requests)
    Ioctl,          // ioctl APP CODE OUTLEN [BYTES]
    ListenStatus,   // listen-status APP
    ListenResponse, // listen-response APP
    Send,           // send APP CID BYTES          (an SDP request of the client role)
    DebugInfo,      // debug-info
    ResetDebugInfo, // reset-debug-info
    Pnp,            // pnp start|stop|restart|remove|surprise|remove-after-surprise
    FailTx,         // fail-tx STATUS COUNT        (the radio refuses the next frames)
    Fail,           // fail read|write|listen STATUS COUNT (the L2CAP device fails requests)
    Hold,           // hold on|off                 (the L2CAP device parks its completions)
    Release,        // release                     (completes what it parked)
    FailAlloc,      // fail-alloc pool|irp|device|power AFTER COUNT, fail-alloc tag TAG AFTER
                    // COUNT, fail-alloc off
    Device,         // device add, device remove NODE
    Power,          // power [query] D0..D3|S0..S5
    Capabilities,   // capabilities
};

enum class SIM_LOWER_REQUEST { Read, Write, Listen };

enum class SIM_DBG { On, Off, Hide, ShowAll };

enum class SIM_ALLOC { Pool, Tag, Irp, Device, Power, Off };

enum class SIM_PNP { Start, Stop, Restart, Remove, Surprise, RemoveAfterSurprise };

// Whether a verb runs only in the full-stack mode.
bool SimVerbNeedsStack(SIM_VERB Verb);

struct SIM_COMMAND {
    SIM_VERB Verb = SIM_VERB::Connect;
    unsigned Line = 0; // 1-based script line, for messages
    uint16_t Cid = 0;
    uint16_t Mtu = 0;
    uint32_t Handle = 0;
    uint16_t AttId = 0;
    uint32_t Mask = 0;
    bool On = false;
    SIM_DBG Dbg = SIM_DBG::Off;
    std::vector<std::string> Words; // dbg hide
    uint32_t App = 0;               // application handle number (0 is opened at start)
    uint32_t Code = 0;              // device-control code
    uint32_t OutLen = 0;            // output buffer length
    uint16_t StatusCode = 0;
    SIM_PNP Pnp = SIM_PNP::Start;
    SIM_LOWER_REQUEST Kind = SIM_LOWER_REQUEST::Read;
    uint32_t Count = 0;
    SIM_ALLOC Alloc = SIM_ALLOC::Off;
    uint32_t Tag = 0;           // fail-alloc tag
    uint32_t After = 0;         // fail-alloc: allocations that still succeed first
    bool Add = false;           // device add (else remove)
    uint32_t Node = 0;          // device remove; open: SDP device instance
    bool Query = false;         // power query
    bool System = false;        // power: a system state (else a device state)
    uint32_t PowerState = 0;    // power: D0..D3 as 1..4, S0..S5 as 1..6
    std::vector<uint8_t> Bytes; // frame payload after the CID, or attribute value
};

// A frame buffer holds the 2-byte CID and at most this much payload.
constexpr size_t MAX_SIM_FRAME_PAYLOAD = 1024 - 2;

struct SIM_SCRIPT {
    std::vector<SIM_COMMAND> Commands;
    bool Ok = true;
    std::string Error; // "line N: ..." when !Ok
};

// Parses one line (without its newline). Returns false with a message (no
// "line N: " prefix) for a malformed line. A blank or comment-only line gives
// true with IsCommand false.
bool ParseSimLine(std::string_view Text, unsigned Line, SIM_COMMAND& Out, bool& IsCommand,
                  std::string& Error);

// Reads the whole script; stops at the first malformed line.
SIM_SCRIPT ParseSimScript(std::istream& In);

// The command word of a verb, as it appears in scripts and output lines.
std::string_view SimVerbName(SIM_VERB Verb);
std::string_view SimPnpName(SIM_PNP Action);
// "D0".."D3" or "S0".."S5" for a power command's state.
std::string SimPowerStateName(bool System, uint32_t State);
