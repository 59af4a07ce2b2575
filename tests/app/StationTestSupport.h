#pragma once
// Shared ground of the window and dialog tests: a program directory of its
// own per test (with "COMn" names mapped under it), message boxes and modal
// runs answered at once, and replies built as a controller sends them.

#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dialogs/Prompts.h"

using TBytes = std::vector<uint8_t>;

// A temporary program directory, removed with everything in it. Port names
// "COMn" resolve to its ports/COMn entries while it lives.
class TProgramDir {
  public:
    TProgramDir();
    ~TProgramDir();
    TProgramDir(const TProgramDir&) = delete;
    TProgramDir& operator=(const TProgramDir&) = delete;

    // Ends with '/'.
    const std::string& Path() const { return FPath; }
    std::string File(const std::string& relative) const { return FPath + relative; }
    bool Exists(const std::string& relative) const;

    // ports/COMn -> target.
    void LinkPort(int portNo, const std::string& target) const;
    // ports/COMn -> a device that does not exist: opening COMn fails.
    void MissingPort(int portNo) const;

  private:
    QTemporaryDir FDir;
    std::string FPath;
};

// Every message box shown while it lives, in order, answered at once.
class TMessageLog {
  public:
    TMessageLog();
    const QStringList& Messages() const { return FMessages; }
    void Clear() { FMessages.clear(); }

  private:
    QStringList FMessages;
    TScopedMessageHandler FHandler;
};

// Read Coils and Read Input Registers replies with a correct CRC.
TBytes RelayReply(uint8_t address, uint8_t coils);
TBytes TemperatureReply(uint8_t address, uint16_t a, uint16_t b, uint16_t c, uint16_t iron);
