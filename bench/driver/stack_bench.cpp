// One inbound SDP request, from the frame the remote side hands the in-memory radio to the
// response frame the radio receives, through the whole stack: the virtual L2CAP driver completes
// a held read, the SDP device's completion routine queues its work item, the work item runs the
// core, the response goes down in a write and the radio takes it. Beside it, the very same frames
// through the core alone (SdpProcessFrame). Both serve the same database: the sample records,
// loaded through the same add-record and add-attribute request buffers.
//
// Every benchmark reports frames per second on the wall clock, the per-request latency p50 and
// p99 (collected per iteration) and, in its CPU column, the CPU time of the whole process per
// frame (worker threads included). The stack benchmarks split that CPU time into the injecting
// thread's (the remote side, the read completion, queuing the work item, waiting for the answer)
// and everybody else's (the system workers running the work items).
#include <benchmark/benchmark.h>

#include <kivrt.h>

#include "kivsdp.h"
#include "memoryradio.h"
#include "sdpcontrol.h"
#include "sdprecordfile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <sched.h>
#include <time.h>
#include <string>
#include <vector>

namespace {

using BYTES = std::vector<uint8_t>;
using CLOCK = std::chrono::steady_clock;

// CPU time of the process or of the calling thread.
int64_t CpuNs(clockid_t Clock)
{
    timespec Ts;
    clock_gettime(Clock, &Ts);
    return int64_t(Ts.tv_sec) * 1000000000 + Ts.tv_nsec;
}

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(CLOCK::now().time_since_epoch())
        .count();
}

// ---------------------------------------------------------------------------------------------
// The request mix

enum REQUEST_KIND { KIND_SEARCH, KIND_ATTRIBUTE, KIND_SEARCH_ATTRIBUTE, KIND_COUNT };
// Benchmark argument for the three kinds in turn.
constexpr int KIND_MIX = KIND_COUNT;
const char* const KindNames[] = {"ServiceSearch", "ServiceAttribute", "ServiceSearchAttribute",
                                 "mix"};

constexpr uint16_t FIRST_CID = 0x0040;
// The largest MTU the server answers with, so that every response fits one frame.
constexpr uint16_t CHANNEL_MTU = MAX_MTU;
constexpr uint16_t SERIAL_PORT_CLASS = 0x1101;

// One request PDU of the kind, transaction ID 0: a search for the serial port class, all
// attributes of the serial port record, or both at once.
BYTES RequestPdu(int Kind, uint32_t SerialPortRecord)
{
    const BYTES Pattern{0x35, 0x03, 0x19, uint8_t(SERIAL_PORT_CLASS >> 8),
                        uint8_t(SERIAL_PORT_CLASS)};
    const BYTES AllAttributes{0x35, 0x05, 0x0A, 0x00, 0x00, 0xFF, 0xFF};
    BYTES Params;
    auto Put = [&Params](const BYTES& b) { Params.insert(Params.end(), b.begin(), b.end()); };
    uint8_t Id = 0;
    switch (Kind) {
    case KIND_SEARCH:
        Id = 0x02;
        Put(Pattern);
        Put({0x00, 0x10});
        break;
    case KIND_ATTRIBUTE:
        Id = 0x04;
        Put({uint8_t(SerialPortRecord >> 24), uint8_t(SerialPortRecord >> 16),
             uint8_t(SerialPortRecord >> 8), uint8_t(SerialPortRecord)});
        Put({0xFF, 0xFF});
        Put(AllAttributes);
        break;
    default:
        Id = 0x06;
        Put(Pattern);
        Put({0xFF, 0xFF});
        Put(AllAttributes);
        break;
    }
    Put({0x00}); // no continuation state
    // Sized first and filled in place: GCC 12 at -O3 misreads an insert after a braced
    // initialisation as an overflow.
    BYTES Pdu(5 + Params.size());
    Pdu[0] = Id;
    Pdu[3] = uint8_t(Params.size() >> 8);
    Pdu[4] = uint8_t(Params.size());
    std::copy(Params.begin(), Params.end(), Pdu.begin() + 5);
    return Pdu;
}

void SetTransactionId(BYTES& Pdu, uint16_t Tid)
{
    Pdu[1] = uint8_t(Tid >> 8);
    Pdu[2] = uint8_t(Tid);
}

// The kind the n-th request of a benchmark has.
int KindOf(int Arg, uint32_t n)
{
    return Arg == KIND_MIX ? int(n % KIND_COUNT) : Arg;
}

// A response frame as the radio (or the core's send routine) saw it.
struct RESPONSE {
    uint16_t Cid;
    uint16_t Tid;
    uint8_t PduId;
    uint8_t LastByte; // the continuation state's length
    uint32_t Length;  // PDU bytes, CID excluded
    int64_t Ns;       // when it was handed over
};

// A good answer has the response ID, the transaction ID sent, the exact length of the core's own
// answer and no continuation state.
bool LooksRight(const RESPONSE& R, uint16_t Tid, const BYTES& Expected)
{
    return R.PduId == Expected[0] && R.Tid == Tid && R.Length == Expected.size() && R.LastByte == 0;
}

// ---------------------------------------------------------------------------------------------
// The sample database

struct SAMPLE_RECORD {
    std::string Name;
    kivtool::ServiceRecord Record;
};

const std::vector<SAMPLE_RECORD>& SampleRecords(std::string& Err)
{
    static std::vector<SAMPLE_RECORD> Records;
    static std::string LoadError;
    static bool Loaded = false;
    if (!Loaded) {
        Loaded = true;
        std::vector<std::filesystem::path> Files;
        std::error_code Ec;
        for (const auto& Entry : std::filesystem::directory_iterator(RECORDS_DIR, Ec))
            if (Entry.path().extension() == ".xml") Files.push_back(Entry.path());
        std::sort(Files.begin(), Files.end());
        for (const auto& File : Files) {
            SAMPLE_RECORD Sample{File.filename().string(), {}};
            kivtool::RecordFileError FileErr;
            if (!kivtool::ImportRecordFile(File.string(), Sample.Record, FileErr)) {
                LoadError = File.string() + ": " + FileErr.ToString();
                Records.clear();
                break;
            }
            Records.push_back(std::move(Sample));
        }
        if (LoadError.empty() && Records.empty()) LoadError = "no record files in " RECORDS_DIR;
    }
    Err = LoadError;
    return Records;
}

// Sends one control request and gives back its output; false when it failed.
using SEND_CONTROL = std::function<bool(const kivtool::ControlRequest& Request, BYTES& Out)>;

// Adds every sample record through Send; *SerialPort gets the serial port record's handle.
bool LoadSampleRecords(const SEND_CONTROL& Send, uint32_t* SerialPort, std::string& Err)
{
    const std::vector<SAMPLE_RECORD>& Records = SampleRecords(Err);
    if (!Err.empty()) return false;
    *SerialPort = 0;
    for (const SAMPLE_RECORD& Sample : Records) {
        BYTES Out;
        uint32_t hRec = 0;
        if (!Send(kivtool::AddRecordRequest(), Out) ||
            !kivtool::DecodeRecordHandle(Out.data(), Out.size(), hRec)) {
            Err = Sample.Name + ": add record failed";
            return false;
        }
        std::vector<kivtool::ControlRequest> Adds;
        if (!kivtool::AddAttributeRequests(hRec, Sample.Record, Adds, Err)) {
            Err = Sample.Name + ": " + Err;
            return false;
        }
        for (const kivtool::ControlRequest& Add : Adds) {
            if (!Send(Add, Out)) {
                Err = Sample.Name + ": add attribute failed";
                return false;
            }
        }
        if (Sample.Name == "serial-port.xml") *SerialPort = hRec;
    }
    if (*SerialPort == 0) Err = "serial-port.xml is not among the sample records";
    return *SerialPort != 0;
}

// ---------------------------------------------------------------------------------------------
// The core alone

class CCoreServer {
public:
    // The core's default hooks (C heap, silent): no driver owns this database.
    bool Start(std::string& Err)
    {
        SdpSetHostHooks(nullptr);
        m_Db = std::make_unique<CSdpDatabase>();
        if (m_Db->InitializeSdpDatabase() != SDP_STATUS_SUCCESS) {
            Err = "core: no server record";
            return false;
        }
        if (m_Channels.CreateL2capContext(FIRST_CID, CHANNEL_MTU) != SDP_STATUS_SUCCESS) {
            Err = "core: no channel";
            return false;
        }
        return LoadSampleRecords([this](const kivtool::ControlRequest& Request,
                                        BYTES& Out) { return Control(Request, Out); },
                                 &m_SerialPort, Err);
    }

    uint32_t SerialPort() const { return m_SerialPort; }

    // Walks one frame (CID + PDU); the response, if any, lands in m_Response.
    void ProcessFrame(const BYTES& Frame)
    {
        m_Response = {};
        m_Bytes.clear();
        SdpProcessFrame(*m_Db, m_Channels, Frame.data(), uint32_t(Frame.size()), m_Host);
    }

    const RESPONSE& Response() const { return m_Response; }

    // The core's answer to Pdu on the first channel, PDU bytes only.
    BYTES Answer(const BYTES& Pdu)
    {
        BYTES Frame{uint8_t(FIRST_CID), uint8_t(FIRST_CID >> 8)};
        Frame.insert(Frame.end(), Pdu.begin(), Pdu.end());
        ProcessFrame(Frame);
        return m_Bytes;
    }

private:
    bool Control(const kivtool::ControlRequest& Request, BYTES& Out)
    {
        BYTES Buffer(std::max<size_t>(Request.Input.size(), Request.OutputLength) + 1);
        std::copy(Request.Input.begin(), Request.Input.end(), Buffer.begin());
        SDP_IOCTL_BUFFER Io = {Buffer.data(), uint32_t(Request.Input.size()), Request.OutputLength,
                               0};
        SDP_STATUS Status = SDP_STATUS_UNSUCCESSFUL;
        if (Request.Code == IOCTL_KIVSDP_ADD_SERVICE_RECORD) Status = m_Db->UserIoctlAddRecord(Io);
        if (Request.Code == IOCTL_KIVSDP_ADD_SERVICE_ATTRIBUTE)
            Status = m_Db->UserIoctlAddAttribute(Io);
        if (Status != SDP_STATUS_SUCCESS) return false;
        Out.assign(Buffer.begin(), Buffer.begin() + std::min(Io.Information, Io.OutputLength));
        return true;
    }

    // Keeps what the stack's radio would see of the frame: the CID and a copy of the PDU.
    static void SendResponse(void* Context, uint8_t* pFrame, uint32_t FrameLen)
    {
        CCoreServer* Self = static_cast<CCoreServer*>(Context);
        if (FrameLen < 7) return;
        Self->m_Bytes.assign(pFrame + 2, pFrame + FrameLen);
        Self->m_Response = {uint16_t(pFrame[0] | pFrame[1] << 8),
                            uint16_t(pFrame[3] << 8 | pFrame[4]),
                            pFrame[2],
                            pFrame[FrameLen - 1],
                            FrameLen - 2,
                            0};
    }

    std::unique_ptr<CSdpDatabase> m_Db;
    CChannelTable m_Channels;
    uint32_t m_SerialPort = 0;
    const SDP_SERVER_HOST m_Host = {this, nullptr, SendResponse, nullptr, nullptr, nullptr};
    RESPONSE m_Response = {};
    BYTES m_Bytes;
};

// ---------------------------------------------------------------------------------------------
// The whole stack

class CStack {
public:
    ~CStack() { (void)Stop(); }

    // Loads both drivers, builds and starts one stack on the in-memory radio, loads the sample
    // records through an application handle and connects Channels channels. With OneCpu, the
    // calling thread and every worker the runtime starts share the CPU it runs on.
    bool Start(const kivrt::Options& Opt, int Channels, bool OneCpu, std::string& Err)
    {
        if (OneCpu) {
            CPU_ZERO(&m_SavedAffinity);
            m_Pinned = sched_getaffinity(0, sizeof(m_SavedAffinity), &m_SavedAffinity) == 0;
            cpu_set_t One;
            CPU_ZERO(&One);
            CPU_SET(sched_getcpu(), &One);
            if (!m_Pinned || sched_setaffinity(0, sizeof(One), &One) != 0) {
                Err = "cannot pin to one CPU";
                return false;
            }
        }
        m_Started = true;
        kivrt::Reset(Opt);
        kivrt::SetDbgPrintSink([this](const std::string& Text) {
            if (m_Measuring && m_DbgLines++ == 0) m_FirstDbgLine = Text;
        });
        if (!NT_SUCCESS(KivL2capLoad(&m_L2cap)) ||
            !NT_SUCCESS(kivrt::LoadDriver(u"KivSdp", DriverEntry, &m_Sdp)) ||
            !NT_SUCCESS(kivrt::CreateDevNode(u"ROOT\\KIVL2CAP\\0000", m_L2cap, {m_Sdp}, &m_Node))) {
            Err = "cannot build the device stack";
            return false;
        }
        PDEVICE_OBJECT L2capDev = KivL2capDeviceOfNode(m_Node);
        if (L2capDev == nullptr || !NT_SUCCESS(m_Radio.Attach(L2capDev)) ||
            !NT_SUCCESS(kivrt::StartDevice(m_Node))) {
            Err = "cannot start the device stack";
            return false;
        }
        m_Radio.SetTransmitHook(
            [this](const CMemoryRadio::WRITTEN_FRAME& Frame) { Received(Frame); });
        if (!NT_SUCCESS(kivrt::AppOpen(u"\\\\.\\KivSdp0", GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, false, &m_Handle))) {
            Err = "cannot open the SDP device";
            return false;
        }
        auto Send = [this](const kivtool::ControlRequest& Request, BYTES& Out) {
            Out.assign(Request.OutputLength, 0);
            ULONG Bytes = 0;
            NTSTATUS Status = kivrt::AppDeviceIoControl(
                m_Handle, Request.Code, Request.Input.empty() ? nullptr : Request.Input.data(),
                ULONG(Request.Input.size()), Out.empty() ? nullptr : Out.data(),
                Request.OutputLength, &Bytes);
            Out.resize(std::min<size_t>(Bytes, Out.size()));
            return NT_SUCCESS(Status);
        };
        if (!LoadSampleRecords(Send, &m_SerialPort, Err)) return false;
        for (int i = 0; i < Channels; i++) {
            if (!NT_SUCCESS(m_Radio.Connect(uint16_t(FIRST_CID + i), CHANNEL_MTU))) {
                Err = "cannot connect a channel";
                return false;
            }
        }
        kivrt::DrainWorkItems();
        return true;
    }

    // Removes the stack and unloads the drivers; false with Err when the verifier recorded
    // anything or a pool block was left.
    bool Stop(std::string* Err = nullptr)
    {
        if (!m_Started) return true;
        m_Started = false;
        m_Measuring = false;
        std::string Problem;
        if (m_Handle != nullptr) kivrt::AppClose(m_Handle);
        m_Handle = nullptr;
        kivrt::DrainWorkItems();
        if (m_Node != nullptr) {
            // A stack that refuses removal is left to the reset below.
            if (kivrt::RemoveDevice(m_Node) == STATUS_SUCCESS) {
                kivrt::DrainWorkItems();
                kivrt::DeleteDevNode(m_Node);
            } else {
                Problem = "the device refused removal";
            }
            m_Node = nullptr;
        }
        if (m_Sdp != nullptr && kivrt::IsDriverLoaded(m_Sdp)) kivrt::UnloadDriver(m_Sdp);
        if (m_L2cap != nullptr && kivrt::IsDriverLoaded(m_L2cap)) kivrt::UnloadDriver(m_L2cap);
        m_Sdp = m_L2cap = nullptr;
        for (const auto& Record : kivrt::VerifierRecords())
            if (Problem.empty()) Problem = "verifier: " + Record.Check + ": " + Record.Message;
        if (Problem.empty() && kivrt::PoolBlocksTotal() != 0) Problem = "pool blocks left";
        kivrt::SetDbgPrintSink(nullptr);
        kivrt::Reset();
        // The unloaded driver's core hooks must not outlive it.
        SdpSetHostHooks(nullptr);
        if (m_Pinned) sched_setaffinity(0, sizeof(m_SavedAffinity), &m_SavedAffinity);
        m_Pinned = false;
        if (Err != nullptr) *Err = Problem;
        return Problem.empty();
    }

    CMemoryRadio& Radio() { return m_Radio; }
    uint32_t SerialPort() const { return m_SerialPort; }
    void Measure(bool On) { m_Measuring = On; }
    // Debug-print lines while measuring: the path under test prints nothing in the default
    // zones, so any line is a failure worth reading.
    size_t DbgLines() const { return m_DbgLines; }
    const std::string& FirstDbgLine() const { return m_FirstDbgLine; }

    // The next response frame the radio received, oldest first; false after a second without one.
    bool Next(RESPONSE* Out)
    {
        // Like the system workers, the remote side polls a little before it sleeps (never when
        // everything shares one CPU, where polling only keeps the stack from running).
        if (!m_Pinned) {
            const int64_t Until = NowNs() + 50000;
            while (m_Produced.load(std::memory_order_acquire) == m_Consumed && NowNs() < Until) {
            }
        }
        std::unique_lock<std::mutex> Guard(m_Lock);
        if (!m_Arrived.wait_for(Guard, std::chrono::seconds(1),
                                [this] { return m_Produced != m_Consumed; }))
            return false;
        *Out = m_Ring[m_Consumed++ % RING_SIZE];
        return true;
    }

    // The last response's PDU bytes (for the check against the core before measuring).
    BYTES LastBytes()
    {
        std::lock_guard<std::mutex> Guard(m_Lock);
        return m_LastBytes;
    }

private:
    // The radio's transmit hook: on the writer's thread, serialised by the radio.
    void Received(const CMemoryRadio::WRITTEN_FRAME& Frame)
    {
        int64_t Ns = NowNs();
        const std::vector<UCHAR>& p = Frame.Payload;
        RESPONSE R = {Frame.Cid, 0, 0, 0, uint32_t(p.size()), Ns};
        if (p.size() >= 5) {
            R.PduId = p[0];
            R.Tid = uint16_t(p[1] << 8 | p[2]);
            R.LastByte = p.back();
        }
        {
            std::lock_guard<std::mutex> Guard(m_Lock);
            if (!m_Measuring) m_LastBytes = p;
            // At most one request per channel is in flight, so the ring never laps.
            m_Ring[m_Produced++ % RING_SIZE] = R;
        }
        m_Arrived.notify_one();
    }

    static constexpr uint32_t RING_SIZE = 64;

    CMemoryRadio m_Radio;
    PDRIVER_OBJECT m_L2cap = nullptr;
    PDRIVER_OBJECT m_Sdp = nullptr;
    kivrt::DEVNODE* m_Node = nullptr;
    kivrt::APP_HANDLE m_Handle = nullptr;
    uint32_t m_SerialPort = 0;
    bool m_Started = false;
    bool m_Pinned = false;
    cpu_set_t m_SavedAffinity;
    std::atomic<bool> m_Measuring{false};
    size_t m_DbgLines = 0;
    std::string m_FirstDbgLine;

    std::mutex m_Lock;
    std::condition_variable m_Arrived;
    RESPONSE m_Ring[RING_SIZE] = {};
    std::atomic<uint32_t> m_Produced{0}; // written under m_Lock, polled without it
    uint32_t m_Consumed = 0;
    BYTES m_LastBytes;
};

// ---------------------------------------------------------------------------------------------
// Figures

void ReportLatency(benchmark::State& State, std::vector<int64_t>& Ns)
{
    State.SetItemsProcessed(int64_t(State.iterations()));
    if (Ns.empty()) return;
    std::sort(Ns.begin(), Ns.end());
    State.counters["p50_us"] = double(Ns[Ns.size() / 2]) / 1000.0;
    State.counters["p99_us"] = double(Ns[std::min(Ns.size() - 1, Ns.size() * 99 / 100)]) / 1000.0;
}

// The expected answer to each kind, from a core over the same records. Taken before any
// driver is loaded, so its database never belongs to one.
bool ReferenceAnswers(std::vector<BYTES>* Answers, uint32_t* SerialPort, std::string& Err)
{
    CCoreServer Core;
    if (!Core.Start(Err)) return false;
    Answers->clear();
    for (int Kind = 0; Kind < KIND_COUNT; Kind++) {
        BYTES Answer = Core.Answer(RequestPdu(Kind, Core.SerialPort()));
        if (Answer.size() < 5 || Answer[0] != RequestPdu(Kind, 0)[0] + 1 || Answer.back() != 0) {
            Err = std::string(KindNames[Kind]) + ": the core gives no single-frame answer";
            return false;
        }
        Answers->push_back(Answer);
    }
    *SerialPort = Core.SerialPort();
    return true;
}

// ---------------------------------------------------------------------------------------------
// Benchmarks

// The frame walk alone: SdpProcessFrame over the sample database, the response copied out as
// the radio would copy it. Argument: the request kind (3: the three in turn).
void BM_Core(benchmark::State& State)
{
    const int Arg = int(State.range(0));
    State.SetLabel(KindNames[Arg]);
    std::vector<BYTES> Expected;
    uint32_t SerialPort = 0;
    std::string Err;
    CCoreServer Core;
    if (!ReferenceAnswers(&Expected, &SerialPort, Err) || !Core.Start(Err)) {
        State.SkipWithError(Err.c_str());
        return;
    }
    std::vector<BYTES> Frames;
    for (int Kind = 0; Kind < KIND_COUNT; Kind++) {
        Frames.push_back({uint8_t(FIRST_CID), uint8_t(FIRST_CID >> 8)});
        BYTES Pdu = RequestPdu(Kind, Core.SerialPort());
        Frames.back().insert(Frames.back().end(), Pdu.begin(), Pdu.end());
    }
    std::vector<int64_t> Latency;
    Latency.reserve(size_t(State.max_iterations));
    uint32_t n = 0;
    size_t Wrong = 0;
    for (auto _ : State) {
        int Kind = KindOf(Arg, n);
        uint16_t Tid = uint16_t(n++);
        BYTES& Frame = Frames[size_t(Kind)];
        Frame[3] = uint8_t(Tid >> 8);
        Frame[4] = uint8_t(Tid);
        int64_t Begin = NowNs();
        Core.ProcessFrame(Frame);
        Latency.push_back(NowNs() - Begin);
        if (!LooksRight(Core.Response(), Tid, Expected[size_t(Kind)])) Wrong++;
    }
    if (Wrong != 0) State.SkipWithError("the core gave a wrong answer");
    ReportLatency(State, Latency);
}

// The whole stack. Each channel has one request in flight: when its answer reaches the radio,
// the next request goes out on that channel. One iteration is one answered request.
void RunStack(benchmark::State& State, const kivrt::Options& Opt, int Arg, int Channels,
              bool OneCpu)
{
    State.SetLabel(KindNames[Arg]);
    std::vector<BYTES> Expected;
    uint32_t SerialPort = 0;
    std::string Err;
    if (!ReferenceAnswers(&Expected, &SerialPort, Err)) {
        State.SkipWithError(Err.c_str());
        return;
    }
    auto Stack = std::make_unique<CStack>();
    if (!Stack->Start(Opt, Channels, OneCpu, Err)) {
        (void)Stack->Stop();
        State.SkipWithError(Err.c_str());
        return;
    }
    const bool Inline = Opt.Sched == kivrt::Scheduler::Deterministic;
    const uint16_t LastCid = uint16_t(FIRST_CID + Channels - 1);

    // Same handles in both databases, and byte for byte the core's answers.
    RESPONSE R = {};
    for (int Kind = 0; Kind < KIND_COUNT && Err.empty(); Kind++) {
        if (Stack->SerialPort() != SerialPort) {
            Err = "the device's record handles differ from the core's";
            break;
        }
        if (!NT_SUCCESS(Stack->Radio().SendFrame(LastCid, RequestPdu(Kind, SerialPort)))) {
            Err = "the radio refused a frame";
            break;
        }
        if (Inline) kivrt::DrainWorkItems();
        if (!Stack->Next(&R))
            Err = "no answer within a second";
        else if (R.Cid != LastCid || Stack->LastBytes() != Expected[size_t(Kind)])
            Err = std::string(KindNames[Kind]) + ": the stack's answer differs from the core's";
    }
    if (!Err.empty()) {
        (void)Stack->Stop();
        State.SkipWithError(Err.c_str());
        return;
    }

    struct CHANNEL {
        uint32_t Sent = 0;
        uint16_t Tid = 0;
        int Kind = 0;
        int64_t SentNs = 0;
        BYTES Pdus[KIND_COUNT];
    };
    std::vector<CHANNEL> Chan(static_cast<size_t>(Channels));
    for (CHANNEL& c : Chan)
        for (int Kind = 0; Kind < KIND_COUNT; Kind++)
            c.Pdus[Kind] = RequestPdu(Kind, SerialPort);
    bool Refused = false;
    auto Send = [&](size_t i) {
        CHANNEL& c = Chan[i];
        c.Kind = KindOf(Arg, c.Sent + uint32_t(i));
        c.Tid = uint16_t(c.Sent++);
        BYTES& Pdu = c.Pdus[c.Kind];
        SetTransactionId(Pdu, c.Tid);
        c.SentNs = NowNs();
        if (!NT_SUCCESS(Stack->Radio().SendFrame(uint16_t(FIRST_CID + i), Pdu))) Refused = true;
        if (Inline) kivrt::DrainWorkItems();
    };

    std::vector<int64_t> Latency;
    Latency.reserve(size_t(State.max_iterations));
    size_t Wrong = 0;
    bool Lost = false;
    uint32_t Answered = 0;
    (void)Stack->Radio().TakeWritten();
    Stack->Measure(true);
    for (size_t i = 0; i < Chan.size(); i++)
        Send(i);
    const int64_t Process0 = CpuNs(CLOCK_PROCESS_CPUTIME_ID);
    const int64_t Caller0 = CpuNs(CLOCK_THREAD_CPUTIME_ID);
    for (auto _ : State) {
        if (!Stack->Next(&R)) {
            Lost = true;
            State.SkipWithError("a request was never answered");
            break;
        }
        size_t i = size_t(R.Cid - FIRST_CID);
        if (i >= Chan.size()) {
            Lost = true;
            State.SkipWithError("an answer on a channel that sent nothing");
            break;
        }
        CHANNEL& c = Chan[i];
        Latency.push_back(R.Ns - c.SentNs);
        if (!LooksRight(R, c.Tid, Expected[size_t(c.Kind)])) Wrong++;
        Send(i);
        if (Refused) {
            State.SkipWithError("the radio refused a frame");
            break;
        }
        // The radio keeps a copy of every frame; let go of them now and then.
        if (++Answered % 64 == 0) (void)Stack->Radio().TakeWritten();
    }
    const int64_t Caller = CpuNs(CLOCK_THREAD_CPUTIME_ID) - Caller0;
    const int64_t Workers = CpuNs(CLOCK_PROCESS_CPUTIME_ID) - Process0 - Caller;
    // The requests still in flight are answered outside the timing.
    for (size_t k = 0; k < Chan.size() && !Lost; k++)
        Lost = !Stack->Next(&R);
    Stack->Measure(false);
    kivrt::DrainWorkItems();

    std::string Problem;
    if (Lost)
        Problem = "a request was never answered";
    else if (Refused)
        Problem = "the radio refused a frame";
    else if (Wrong != 0)
        Problem = "the stack gave a wrong answer";
    else if (Stack->DbgLines() != 0)
        Problem = "debug output while measuring: " + Stack->FirstDbgLine();
    std::string StopErr;
    if (!Stack->Stop(&StopErr) && Problem.empty()) Problem = StopErr;
    if (!Problem.empty() && !State.error_occurred()) State.SkipWithError(Problem.c_str());
    ReportLatency(State, Latency);
    if (State.iterations() != 0) {
        State.counters["caller_cpu_us"] = double(Caller) / 1000.0 / double(State.iterations());
        State.counters["worker_cpu_us"] = double(Workers) / 1000.0 / double(State.iterations());
    }
}

// Inline (deterministic) scheduler: the work item runs on the injecting thread as soon as the
// host drains, so nothing waits for a thread. Argument: the request kind.
void BM_StackInline(benchmark::State& State)
{
    kivrt::Options Opt;
    Opt.Sched = kivrt::Scheduler::Deterministic;
    RunStack(State, Opt, int(State.range(0)), 1, false);
}

// Threaded scheduler, as the daemon runs it: the remote side injects on the benchmark thread, a
// system worker runs the work item. Arguments: delayed worker threads, channels with a request
// in flight, and whether everything shares one CPU.
void BM_StackThreaded(benchmark::State& State)
{
    kivrt::Options Opt;
    Opt.Sched = kivrt::Scheduler::Threaded;
    Opt.DelayedWorkers = unsigned(State.range(0));
    Opt.CriticalWorkers = 1;
    RunStack(State, Opt, KIND_MIX, int(State.range(1)), State.range(2) != 0);
}

BENCHMARK(BM_Core)
    ->DenseRange(0, KIND_MIX)
    ->ArgName("kind")
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_StackInline)
    ->DenseRange(0, KIND_MIX)
    ->ArgName("kind")
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_StackThreaded)
    ->ArgNames({"workers", "channels", "onecpu"})
    ->Args({1, 1, 1})
    ->Args({1, 1, 0})
    ->Args({1, 4, 0})
    ->Args({2, 1, 0})
    ->Args({2, 2, 0})
    ->Args({2, 4, 0})
    ->Args({2, 8, 0})
    ->Args({2, 4, 1})
    ->UseRealTime()
    ->MeasureProcessCPUTime();

} // namespace

BENCHMARK_MAIN();
