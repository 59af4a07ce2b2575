#include "app/StationTestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "polling/TmpProtocol.h"
#include "serial/PortName.h"
#include "serial/QtCommSink.h"

namespace {

// Port events are raised on the test's main thread, as in the station.
class TQtSinkEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        InstallQtCommSinks([](std::exception_ptr error) {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& e) {
                ADD_FAILURE() << "a port event handler raised: " << e.what();
            } catch (...) {
                ADD_FAILURE() << "a port event handler raised";
            }
        });
    }
};

[[maybe_unused]] ::testing::Environment* const kQtSinks =
    ::testing::AddGlobalTestEnvironment(new TQtSinkEnvironment);

TBytes WithCrc(TBytes frame) {
    uint8_t low = 0, high = 0;
    CalcCrc16(frame.data(), static_cast<int32_t>(frame.size()), low, high);
    frame.push_back(low);
    frame.push_back(high);
    return frame;
}

}  // namespace

TProgramDir::TProgramDir() {
    if (!FDir.isValid()) throw std::runtime_error("cannot make a temporary directory");
    FPath = FDir.path().toStdString() + "/";
    SetCommProgramDir(FPath);
}

TProgramDir::~TProgramDir() = default;

bool TProgramDir::Exists(const std::string& relative) const {
    return std::filesystem::exists(FPath + relative);
}

void TProgramDir::LinkPort(int portNo, const std::string& target) const {
    std::filesystem::create_directories(FPath + "ports");
    const std::string link = FPath + "ports/COM" + std::to_string(portNo);
    std::filesystem::remove(link);
    std::filesystem::create_symlink(target, link);
}

void TProgramDir::MissingPort(int portNo) const {
    LinkPort(portNo, FPath + "no-such-device-" + std::to_string(portNo));
}

TMessageLog::TMessageLog()
    : FHandler([this](QWidget*, const QString& text) { FMessages << text; }) {}

TBytes RelayReply(uint8_t address, uint8_t coils) {
    return WithCrc({address, kFnReadCoils, 1, coils});
}

TBytes TemperatureReply(uint8_t address, uint16_t a, uint16_t b, uint16_t c, uint16_t iron) {
    TBytes frame = {address, kFnReadInputRegs, 8};
    for (uint16_t value : {a, b, c, iron}) {
        frame.push_back(static_cast<uint8_t>(value >> 8));
        frame.push_back(static_cast<uint8_t>(value & 0xFF));
    }
    return WithCrc(frame);
}
