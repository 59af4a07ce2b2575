#include "serial/Comm.h"

#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include "serial/CommThreads.h"
#include "serial/EventFd.h"
#include "serial/PortDevice.h"
#include "serial/PortName.h"

TComm::TComm() : TComm(MakeCommSink()) {}

TComm::TComm(std::unique_ptr<TCommSink> sink) : FSink(std::move(sink)) {
    if (!FSink) FSink = std::make_unique<TManualCommSink>();
    FSink->Bind(this);
}

TComm::~TComm() {
    try {
        ClosePort();
    } catch (...) {
        // Closing only joins threads and closes descriptors; nothing to report.
    }
}

void TComm::OpenPort() {
    if (IsOpen()) throw ECommsError(kMsgAlreadyOpened);

    const std::optional<std::string> path = ResolveCommPath(FCommName);
    if (!path) throw ECommsError(kMsgOpenError);
    std::unique_ptr<TPortDevice> port;
    std::optional<TTcpTarget> tcp;
    if (const std::optional<std::string> link = TcpLinkText(*path)) {
        tcp = ParseTcpTarget(*link);
        if (!tcp) throw ECommsError(kMsgOpenError);
        // A server that refuses or does not answer in time fails the open
        // like a missing device; only a connection once made is retried.
        const int fd = ConnectTcp(*tcp, FConnectTimeout);
        if (fd < 0) throw ECommsError(kMsgOpenError);
        port = TPortDevice::FromSocket(fd);
    } else {
        // Raises for a missing or busy device, a non-device and a non-terminal.
        port = TPortDevice::Open(*path);
    }
    StartLine(std::move(port));
    FTcp = std::move(tcp);
}

void TComm::NextOpening() {
    // 0 is never an opening's number: it marks notifications posted by hand.
    if (++FLastOpening == 0) ++FLastOpening;
    FOpening = FLastOpening;
}

void TComm::StartLine(std::unique_ptr<TPortDevice> port) {
    // The port is kept from here on: failures below must undo it (Discard).
    FPort = std::move(port);
    FPort->PurgeInput();
    FPort->PurgeOutput();
    FSendIdle.store(1);
    ApplyTimeouts();
    ApplyLineSettings();

    FStopEvent = TEventFd::Create();
    if (!FStopEvent) {
        Discard();
        throw ECommsError(kMsgCreateEvent);
    }
    FHangupPosted.store(false);
    NextOpening();
    const TThreadLinks links{FPort.get(), FStopEvent.get(), FSink.get(), &FHangupPosted, FOpening};

    try {
        FReadThread = std::make_unique<TReadThread>(links);
    } catch (const std::bad_alloc&) {
        Discard();
        throw ECommsError(kMsgCreateReadThread);
    }
    try {
        FWriteThread = std::make_unique<TWriteThread>(links, &FSendIdle);
    } catch (const std::bad_alloc&) {
        FWriteThread.reset();
    }
    if (FWriteThread && !FWriteThread->Valid()) FWriteThread.reset();

    // The reader starts first, as the writer's first notification may be
    // answered with data.
    if (!FReadThread->Start()) {
        FReadThread.reset();
        Discard();
        throw ECommsError(kMsgCreateReadThread);
    }
    if (!FWriteThread || !FWriteThread->Start()) {
        StopReader();
        FWriteThread.reset();
        Discard();
        throw ECommsError(kMsgCreateWriteThread);
    }
}

void TComm::LineDown() {
    StopReader();
    StopWriter();
    FStopEvent.reset();
    FPort.reset();
    FSendIdle.store(1);
    // A new number: whatever the dropped connection's workers left queued
    // is dropped on delivery, and the reconnector's notice carries this one.
    NextOpening();
    try {
        FReconnector = std::make_unique<TTcpReconnector>(*FTcp, FReconnectDelays, FConnectTimeout,
                                                         FSink.get(), FOpening);
    } catch (const std::bad_alloc&) {
        FReconnector.reset();
    }
    if (!FReconnector) {
        // Out of memory: the port ends up closed, as after ClosePort.
        FOpening = 0;
        FTcp.reset();
        return;
    }
    // A reconnector whose thread the system refused keeps the port open
    // and the line down until ClosePort.
    FReconnector->Start();
}

void TComm::LineUp() {
    const int fd = FReconnector->TakeConnection();
    FReconnector.reset();
    if (fd < 0) return;  // cannot happen: the notice follows the connection
    try {
        StartLine(TPortDevice::FromSocket(fd));
    } catch (const ECommsError&) {
        // No event or thread for the workers now; try again later.
        LineDown();
    }
}

void TComm::Discard() {
    FReadThread.reset();
    FWriteThread.reset();
    FStopEvent.reset();
    FPort.reset();
    FSendIdle.store(1);
    FOpening = 0;
}

// Both threads wait on the stop event in every wait, so signalling it ends
// them promptly: joining needs no time limit and no terminate flag.
void TComm::StopReader() {
    if (!FReadThread) return;
    FStopEvent->Signal();
    FPort->PurgeInput();
    FReadThread->Join();
    FReadThread.reset();
}

void TComm::StopWriter() {
    if (!FWriteThread) return;
    FStopEvent->Signal();
    FPort->PurgeOutput();
    FSendIdle.store(1);
    FWriteThread->Join();
    FWriteThread.reset();
}

void TComm::ClosePort() {
    if (!IsOpen()) return;
    // Interrupts its wait or its connection attempt at once.
    FReconnector.reset();
    StopReader();
    StopWriter();
    // Bytes still queued for the writer went with it, and what the threads
    // posted and is still queued in the sink is dropped when delivered.
    FStopEvent.reset();
    FPort.reset();
    FSendIdle.store(1);
    FOpening = 0;
    FTcp.reset();
}

bool TComm::WorkersAlive() const {
    return IsOpen() && FReadThread && FWriteThread && !FReadThread->Ended() &&
           !FWriteThread->Ended();
}

std::chrono::milliseconds TComm::WriteStalledFor() const {
    if (!IsOpen() || !FWriteThread) return std::chrono::milliseconds(0);
    return FWriteThread->StalledFor();
}

bool TComm::SendData(const void* buffer, uint16_t length) {
    if (!FWriteThread || length == 0 || buffer == nullptr) return false;
    TWriteRequest request;
    request.Data.reset(new (std::nothrow) uint8_t[length]);
    if (!request.Data) return false;
    std::memcpy(request.Data.get(), buffer, length);
    request.Length = length;
    if (!FWriteThread->Post(std::move(request))) return false;
    FSendIdle.store(0);
    return true;
}

void TComm::ApplyLineSettings() {
    // A refusal is not reported: the port keeps what it had (for an
    // unsupported rate, its speed).
    if (FPort) FPort->ApplyLineSettings(FLine);
}

void TComm::ApplyTimeouts() {
    if (FPort) FPort->ApplyTimeouts(FTimeouts);
}

void TComm::HandleNotification(TCommNotification& notification) {
    // Left behind by an opening that has closed since (the port may have
    // been opened again meanwhile): its events would belong to a line that
    // is gone, and its send-queue-empty notice would mark the new opening's
    // queue idle.
    if (notification.Opening != 0 && notification.Opening != FOpening) return;
    // Each handler is copied before the call: a handler that assigns a new
    // handler to its own event must not destroy the function it runs in.
    switch (notification.Message) {
        case CommDataReceived:
            // The buffer is released by the caller after this returns,
            // whether or not a handler was assigned.
            if (OnReceiveData && notification.Buffer) {
                TReceiveDataEvent handler = OnReceiveData;
                handler(this, notification.Buffer.get(), notification.Count);
            }
            break;
        case CommReceiveError:
            if (OnReceiveError) {
                TReceiveErrorEvent handler = OnReceiveError;
                handler(this, notification.Bits);
            }
            break;
        case CommRequestHangup: {
            // A TCP line that drops goes down and is reconnected; the
            // hang-up is reported first, as on a serial line.
            const bool network = FTcp && FPort && notification.Opening == FOpening;
            if (network) LineDown();
            if (OnRequestHangup) {
                TNotifyEvent handler = OnRequestHangup;
                handler(this);
            }
            // Unless the hang-up handler closed the port.
            if (network && IsOpen() && OnConnectionChange) {
                TNotifyEvent handler = OnConnectionChange;
                handler(this);
            }
            break;
        }
        case CommConnectionUp:
            if (!FReconnector || notification.Opening != FOpening) break;
            LineUp();
            if (IsConnected() && OnConnectionChange) {
                TNotifyEvent handler = OnConnectionChange;
                handler(this);
            }
            break;
        case CommModemStateChange:
            if (OnModemStateChange) {
                TModemStateChangeEvent handler = OnModemStateChange;
                handler(this, notification.Bits);
            }
            break;
        case CommSendDataEmpty:
            FSendIdle.store(1);
            if (OnSendDataEmpty) {
                TSendDataEmptyEvent handler = OnSendDataEmpty;
                handler(this);
            }
            break;
        default:
            break;
    }
}
