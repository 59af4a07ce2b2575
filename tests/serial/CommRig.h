#pragma once
// A TComm on the slave of a fresh pty, with a hand-drained sink and every
// event recorded. Waits are event-driven with generous time limits: the
// machines the tests run on are slow and noisy.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "serial/Comm.h"
#include "serial/CommSink.h"
#include "serial/PtyPair.h"

inline constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(10);

// Waits until done() holds without delivering anything: for conditions the
// worker threads make true by themselves (what they posted stays queued).
inline bool WaitUndelivered(const std::function<bool()>& done,
                            std::chrono::milliseconds timeout = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

struct TCommRig {
    TPtyPair Pty;
    TManualCommSink* Sink = nullptr;  // owned by Comm
    std::unique_ptr<TComm> Comm;

    std::vector<std::vector<uint8_t>> Chunks;
    bool ZeroAfterEveryChunk = true;
    int SendEmpties = 0;
    int Hangups = 0;
    std::vector<uint32_t> Errors;
    std::vector<uint32_t> ModemEvents;

    TCommRig() {
        auto sink = std::make_unique<TManualCommSink>();
        Sink = sink.get();
        Comm = std::make_unique<TComm>(std::move(sink));
        Comm->SetCommName(Pty.SlavePath());
        Comm->OnReceiveData = [this](TComm*, const uint8_t* buffer, uint16_t length) {
            Chunks.emplace_back(buffer, buffer + length);
            if (buffer[length] != 0) ZeroAfterEveryChunk = false;
        };
        Comm->OnSendDataEmpty = [this](TComm*) { ++SendEmpties; };
        Comm->OnRequestHangup = [this](TComm*) { ++Hangups; };
        Comm->OnReceiveError = [this](TComm*, uint32_t mask) { Errors.push_back(mask); };
        Comm->OnModemStateChange = [this](TComm*, uint32_t bits) { ModemEvents.push_back(bits); };
    }

    bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = kPatience) {
        return Sink->DrainUntil(done, timeout);
    }
    // Delivers whatever comes within the time given (checks that nothing more comes).
    void Settle(std::chrono::milliseconds time = std::chrono::milliseconds(300)) {
        Sink->DrainUntil([] { return false; }, time);
    }

    std::vector<uint8_t> Received() const {
        std::vector<uint8_t> all;
        for (const auto& chunk : Chunks) all.insert(all.end(), chunk.begin(), chunk.end());
        return all;
    }
    bool WaitForBytes(size_t count) {
        return WaitFor([&] { return Received().size() >= count; });
    }
    // Opens and waits for the writer's first CommSendDataEmpty.
    void OpenAndSettle() {
        Comm->OpenPort();
        WaitFor([&] { return SendEmpties >= 1; });
    }
    // Stops the component's output as a far end would: an XOFF, then a probe
    // byte whose arrival proves the XOFF has been taken in.
    bool StopOutput() {
        const size_t before = Received().size();
        if (!Pty.Write({0x13, 'p'})) return false;
        return WaitFor([&] { return Received().size() > before; });
    }
    bool ResumeOutput() const { return Pty.Write({0x11}); }
};
