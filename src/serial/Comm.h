#pragma once
// TComm: one serial port with a reader and a writer thread. Every event is
// raised on the thread that created the component, by its notification sink
// (CommSink.h); handlers never run on a worker thread.
//
//   state     port   stop event   threads   SendData
//   closed    none   none         none      False
//   open      set    set          2*        queues a copy, True
//   (* a worker thread may have ended by itself after CommRequestHangup; the
//      port stays open until ClosePort. Without a writer SendData is False.)
//
//   closed --OpenPort--> open --ClosePort--> closed
//   OpenPort while open raises; ClosePort while closed does nothing; a failed
//   OpenPort leaves nothing behind.
//
// Openings are numbered. Each notification a worker posts carries the number
// of its opening, and an event is raised only while that opening is still
// the current one: whatever an opening left queued in the sink (chunks, the
// send-queue-empty notice, a hang-up) is dropped once the port has closed,
// and never reaches a later opening.
//
// ClosePort returns promptly however the line behaves: the workers block
// nowhere but in poll() with the stop event, and the device is closed with
// its output discarded and its flow control released, so closing never
// waits for a line that does not drain.
//
// A port whose entry names a serial server (tcp:HOST:PORT, PortName.h) opens
// a TCP connection in place of a device; OpenPort waits for it at most
// ConnectTimeout. While such a port is open its connection is up or down:
//
//   up    --peer closes, reset, I/O error-->  down  (OnRequestHangup, then
//                                                    OnConnectionChange)
//   down  --reconnected-->                    up    (OnConnectionChange)
//
// Down, the workers are gone and the socket closed (SendData False,
// WorkersAlive False), and a reconnector tries again after 1 s, doubling the
// wait up to 30 s (SetReconnectDelays). Back up, a new opening starts with
// fresh workers: nothing of the dropped connection reaches it. The port stays
// open throughout; ClosePort stops the reconnector at once. Both changes
// take effect on the creating thread, as its sink delivers the hang-up and
// the reconnector's notice: the line comes back only while events flow.
//
// Properties, OpenPort, ClosePort, SendData and the events belong to the
// creating thread. The worker threads share only the port, the stop event,
// the sink (by posting) and SendIdle.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "serial/CommSink.h"
#include "serial/CommTypes.h"
#include "serial/LineSettings.h"
#include "serial/TcpLink.h"

class TEventFd;
class TPortDevice;
class TReadThread;
class TWriteThread;

class TComm {
  public:
    using TReceiveDataEvent =
        std::function<void(TComm* sender, const uint8_t* buffer, uint16_t length)>;
    using TReceiveErrorEvent = std::function<void(TComm* sender, uint32_t eventMask)>;
    using TModemStateChangeEvent = std::function<void(TComm* sender, uint32_t modemEvent)>;
    using TNotifyEvent = std::function<void(TComm* sender)>;
    using TSendDataEmptyEvent = std::function<void(TComm* sender)>;

    // The sink comes from the process-wide factory (MakeCommSink).
    TComm();
    explicit TComm(std::unique_ptr<TCommSink> sink);
    TComm(const TComm&) = delete;
    TComm& operator=(const TComm&) = delete;
    // The owner closes the port first; an open port is closed here all the
    // same, and notifications still queued are dropped with the sink.
    ~TComm();

    // Raises ECommsError with the message of the step that failed.
    void OpenPort();
    void ClosePort();
    // True from OpenPort to ClosePort, also while a TCP line is down.
    bool IsOpen() const { return FPort != nullptr || FReconnector != nullptr; }
    // True while the port is open on a device or a connected socket: false
    // only while closed or while a TCP line is down and being reconnected.
    // (A serial device that hung up stays "connected": see WorkersAlive.)
    bool IsConnected() const { return FPort != nullptr; }
    // True while the port is open on a serial server over TCP.
    bool IsNetworkLine() const { return IsOpen() && FTcp.has_value(); }
    // Reconnection attempts finished since the TCP line last went down; 0
    // while it is up or the port is not a TCP line.
    uint32_t ReconnectAttempts() const { return FReconnector ? FReconnector->Attempts() : 0; }

    // How long OpenPort waits for a TCP connection (default 3 s).
    std::chrono::milliseconds ConnectTimeout() const { return FConnectTimeout; }
    void SetConnectTimeout(std::chrono::milliseconds value) { FConnectTimeout = value; }
    // The waits between reconnection attempts; applies from the next time a
    // line goes down.
    const TReconnectDelays& ReconnectDelays() const { return FReconnectDelays; }
    void SetReconnectDelays(TReconnectDelays value) { FReconnectDelays = value; }
    // True while the port is open and both worker threads still run; false
    // once either has ended by itself (a line that hung up), although the
    // port stays open until ClosePort.
    bool WorkersAlive() const;
    // How long the writer has been waiting for the device to take the next
    // byte of a request: zero while it writes freely, has nothing to write or
    // the port is closed. It grows without end on a line that never drains
    // (hardware flow control never released, a far end that never reads),
    // where the workers stay alive but nothing goes out.
    std::chrono::milliseconds WriteStalledFor() const;

    // Queues a copy of length bytes for the writer. False when the port is
    // not open, length is 0, or the request cannot be queued. Never waits
    // and does not look at SendIdle: requests queue up in order.
    bool SendData(const void* buffer, uint16_t length);
    // True at construction and whenever the writer's queue has drained;
    // SendData makes it False. Advisory: the writer sets it without a lock.
    bool SendIdle() const { return FSendIdle.load() != 0; }

    TCommSink& Sink() { return *FSink; }

    // Properties. Setters store; where marked, a changed value on an open
    // port applies all line settings (or all time limits) again at once.
    const std::string& CommName() const { return FCommName; }
    void SetCommName(std::string name) { FCommName = std::move(name); }  // next OpenPort

    uint32_t BaudRate() const { return FLine.BaudRate; }
    void SetBaudRate(uint32_t value) { SetLine(&TLineSettings::BaudRate, value); }
    bool ParityCheck() const { return FLine.ParityCheck; }
    void SetParityCheck(bool value) { SetLine(&TLineSettings::ParityCheck, value); }
    bool Outx_CtsFlow() const { return FLine.Outx_CtsFlow; }
    void SetOutx_CtsFlow(bool value) { SetLine(&TLineSettings::Outx_CtsFlow, value); }
    bool Outx_DsrFlow() const { return FLine.Outx_DsrFlow; }
    void SetOutx_DsrFlow(bool value) { SetLine(&TLineSettings::Outx_DsrFlow, value); }
    TDtrControl DtrControl() const { return FLine.DtrControl; }
    void SetDtrControl(TDtrControl value) { SetLine(&TLineSettings::DtrControl, value); }
    bool DsrSensitivity() const { return FLine.DsrSensitivity; }
    void SetDsrSensitivity(bool value) { SetLine(&TLineSettings::DsrSensitivity, value); }
    bool TxContinueOnXoff() const { return FLine.TxContinueOnXoff; }
    void SetTxContinueOnXoff(bool value) { SetLine(&TLineSettings::TxContinueOnXoff, value); }
    bool Outx_XonXoffFlow() const { return FLine.Outx_XonXoffFlow; }
    void SetOutx_XonXoffFlow(bool value) { SetLine(&TLineSettings::Outx_XonXoffFlow, value); }
    bool Inx_XonXoffFlow() const { return FLine.Inx_XonXoffFlow; }
    void SetInx_XonXoffFlow(bool value) { SetLine(&TLineSettings::Inx_XonXoffFlow, value); }
    bool ReplaceWhenParityError() const { return FLine.ReplaceWhenParityError; }
    void SetReplaceWhenParityError(bool value) {
        SetLine(&TLineSettings::ReplaceWhenParityError, value);
    }
    bool IgnoreNullChar() const { return FLine.IgnoreNullChar; }
    void SetIgnoreNullChar(bool value) { SetLine(&TLineSettings::IgnoreNullChar, value); }
    TRtsControl RtsControl() const { return FLine.RtsControl; }
    void SetRtsControl(TRtsControl value) { SetLine(&TLineSettings::RtsControl, value); }
    uint16_t XonLimit() const { return FLine.XonLimit; }
    void SetXonLimit(uint16_t value) { SetLine(&TLineSettings::XonLimit, value); }
    uint16_t XoffLimit() const { return FLine.XoffLimit; }
    void SetXoffLimit(uint16_t value) { SetLine(&TLineSettings::XoffLimit, value); }
    TByteSize ByteSize() const { return FLine.ByteSize; }
    void SetByteSize(TByteSize value) { SetLine(&TLineSettings::ByteSize, value); }
    TParity Parity() const { return FLine.Parity; }
    // Stored only: takes effect at the next OpenPort or the next application
    // of the line settings caused by another setter.
    void SetParity(TParity value) { FLine.Parity = value; }
    TStopBits StopBits() const { return FLine.StopBits; }
    void SetStopBits(TStopBits value) { SetLine(&TLineSettings::StopBits, value); }
    uint8_t XonChar() const { return FLine.XonChar; }
    void SetXonChar(uint8_t value) { SetLine(&TLineSettings::XonChar, value); }
    uint8_t XoffChar() const { return FLine.XoffChar; }
    void SetXoffChar(uint8_t value) { SetLine(&TLineSettings::XoffChar, value); }
    uint8_t ReplacedChar() const { return FLine.ReplacedChar; }
    void SetReplacedChar(uint8_t value) { SetLine(&TLineSettings::ReplacedChar, value); }

    uint32_t ReadIntervalTimeout() const { return FTimeouts.ReadIntervalTimeout; }
    void SetReadIntervalTimeout(uint32_t value) {
        SetTimeout(&TCommTimeouts::ReadIntervalTimeout, value);
    }
    uint32_t ReadTotalTimeoutMultiplier() const { return FTimeouts.ReadTotalTimeoutMultiplier; }
    void SetReadTotalTimeoutMultiplier(uint32_t value) {
        SetTimeout(&TCommTimeouts::ReadTotalTimeoutMultiplier, value);
    }
    uint32_t ReadTotalTimeoutConstant() const { return FTimeouts.ReadTotalTimeoutConstant; }
    void SetReadTotalTimeoutConstant(uint32_t value) {
        SetTimeout(&TCommTimeouts::ReadTotalTimeoutConstant, value);
    }
    uint32_t WriteTotalTimeoutMultiplier() const { return FTimeouts.WriteTotalTimeoutMultiplier; }
    void SetWriteTotalTimeoutMultiplier(uint32_t value) {
        SetTimeout(&TCommTimeouts::WriteTotalTimeoutMultiplier, value);
    }
    uint32_t WriteTotalTimeoutConstant() const { return FTimeouts.WriteTotalTimeoutConstant; }
    void SetWriteTotalTimeoutConstant(uint32_t value) {
        SetTimeout(&TCommTimeouts::WriteTotalTimeoutConstant, value);
    }

    // Events, raised on the creating thread. The buffer of OnReceiveData is
    // valid only during the call, with one zero byte after its length bytes.
    // A handler may close the port or replace handlers; it must not destroy
    // the component (its sink is running the handler).
    TReceiveDataEvent OnReceiveData;
    TReceiveErrorEvent OnReceiveError;
    TModemStateChangeEvent OnModemStateChange;
    TNotifyEvent OnRequestHangup;
    TSendDataEmptyEvent OnSendDataEmpty;
    // A TCP line went down or came back up: IsConnected() tells which.
    TNotifyEvent OnConnectionChange;

  private:
    friend class TCommSink;

    // Raises the event of one notification; ignores unknown numbers.
    void HandleNotification(TCommNotification& notification);

    template <typename T>
    void SetLine(T TLineSettings::*field, T value) {
        if (FLine.*field == value) return;
        FLine.*field = value;
        if (IsOpen()) ApplyLineSettings();
    }
    void SetTimeout(uint32_t TCommTimeouts::*field, uint32_t value) {
        if (FTimeouts.*field == value) return;
        FTimeouts.*field = value;
        if (IsOpen()) ApplyTimeouts();
    }
    void ApplyLineSettings();
    void ApplyTimeouts();
    void StopReader();
    void StopWriter();
    // Undoes a failed OpenPort after the port was kept.
    void Discard();
    // Makes port the current one under a new opening and starts its
    // workers; on failure undoes everything and raises ECommsError.
    void StartLine(std::unique_ptr<TPortDevice> port);
    // The TCP line dropped: ends its workers, closes the socket and starts
    // the reconnector. Returns after that; the port stays open.
    void LineDown();
    // The reconnector's connection becomes the port again.
    void LineUp();
    void NextOpening();

    // Destroyed in reverse order: the threads go before the stop event, the
    // port and the sink they borrow.
    std::unique_ptr<TCommSink> FSink;
    std::unique_ptr<TPortDevice> FPort;
    std::unique_ptr<TEventFd> FStopEvent;
    std::atomic<bool> FHangupPosted{false};
    std::atomic<uint8_t> FSendIdle{1};
    std::unique_ptr<TReadThread> FReadThread;
    std::unique_ptr<TWriteThread> FWriteThread;
    // Only while a TCP line is down; destroyed before the sink it posts to.
    std::unique_ptr<TTcpReconnector> FReconnector;
    // The current opening's number (0 while closed) and the last one given.
    uint32_t FOpening = 0;
    uint32_t FLastOpening = 0;

    std::string FCommName = "COM2";
    TLineSettings FLine;
    TCommTimeouts FTimeouts;
    // The server of the open port when it is a TCP line.
    std::optional<TTcpTarget> FTcp;
    std::chrono::milliseconds FConnectTimeout = std::chrono::seconds(3);
    TReconnectDelays FReconnectDelays;
};
