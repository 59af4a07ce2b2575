#include "serial/InputFilter.h"

namespace {
constexpr uint8_t kMarkEscape = 0xFF;
constexpr uint8_t kMarkError = 0x00;
}  // namespace

void TInputFilter::Configure(const TReadSettings& settings) {
    FSettings = settings;
    if (!FSettings.Marked) FState = TState::Plain;
}

size_t TInputFilter::Emit(uint8_t byte, bool error, uint8_t* out, size_t at) const {
    if (error && FSettings.ReplaceErrors) {
        // The replacement is what the operator asked for: never stripped.
        out[at] = FSettings.ReplacedChar;
        return at + 1;
    }
    if (byte == 0 && FSettings.StripNull) return at;
    out[at] = byte;
    return at + 1;
}

size_t TInputFilter::Process(const uint8_t* in, size_t n, uint8_t* out) {
    size_t at = 0;  // at <= i always holds, so out may alias in
    for (size_t i = 0; i < n; ++i) {
        const uint8_t byte = in[i];
        if (!FSettings.Marked) {
            at = Emit(byte, false, out, at);
            continue;
        }
        switch (FState) {
            case TState::Plain:
                if (byte == kMarkEscape)
                    FState = TState::AfterEscape;
                else
                    at = Emit(byte, false, out, at);
                break;
            case TState::AfterEscape:
                if (byte == kMarkError) {
                    FState = TState::AfterErrorMark;
                } else {
                    // 0xFF 0xFF is a real 0xFF. The terminal never sends 0xFF
                    // before anything else; should it happen (marking switched
                    // on mid-stream), the stray 0xFF is dropped so the output
                    // never outgrows the input.
                    at = Emit(byte, false, out, at);
                    FState = TState::Plain;
                }
                break;
            case TState::AfterErrorMark:
                at = Emit(byte, true, out, at);
                FState = TState::Plain;
                break;
        }
    }
    return at;
}
