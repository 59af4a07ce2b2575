#pragma once
// The one way the station's windows show a plain message box and run a modal
// dialog. Both go through replaceable handlers, so tests answer them at once
// instead of leaving a modal loop waiting for a click.

#include <QString>
#include <functional>
#include <utility>

class QDialog;
class QWidget;

// The caption of every plain message box.
inline constexpr const char* kMessageCaption = "温度控制系统";

using TMessageHandler = std::function<void(QWidget* parent, const QString& text)>;
// Runs a dialog modally and returns its result (QDialog::Accepted, Rejected).
using TModalRunner = std::function<int(QDialog& dialog)>;

// A plain message box with the text and an OK button.
void ShowMessage(QWidget* parent, const QString& text);
int RunModal(QDialog& dialog);

// Install a handler or runner and return the one it replaces; an empty one
// restores the default (a real message box, QDialog::exec).
TMessageHandler SetMessageHandler(TMessageHandler handler);
TModalRunner SetModalRunner(TModalRunner runner);

// Installs a handler for as long as it lives (tests).
class TScopedMessageHandler {
  public:
    explicit TScopedMessageHandler(TMessageHandler handler)
        : FPrevious(SetMessageHandler(std::move(handler))) {}
    ~TScopedMessageHandler() { SetMessageHandler(std::move(FPrevious)); }
    TScopedMessageHandler(const TScopedMessageHandler&) = delete;
    TScopedMessageHandler& operator=(const TScopedMessageHandler&) = delete;

  private:
    TMessageHandler FPrevious;
};

class TScopedModalRunner {
  public:
    explicit TScopedModalRunner(TModalRunner runner)
        : FPrevious(SetModalRunner(std::move(runner))) {}
    ~TScopedModalRunner() { SetModalRunner(std::move(FPrevious)); }
    TScopedModalRunner(const TScopedModalRunner&) = delete;
    TScopedModalRunner& operator=(const TScopedModalRunner&) = delete;

  private:
    TModalRunner FPrevious;
};
