#include "dialogs/Prompts.h"

#include <QDialog>
#include <QMessageBox>

namespace {

// Main thread only, like every widget.
TMessageHandler& MessageHandler() {
    static TMessageHandler handler;
    return handler;
}
TModalRunner& ModalRunner() {
    static TModalRunner runner;
    return runner;
}

}  // namespace

void ShowMessage(QWidget* parent, const QString& text) {
    if (MessageHandler()) {
        MessageHandler()(parent, text);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kMessageCaption), text, QMessageBox::Ok,
                    parent);
    box.exec();
}

int RunModal(QDialog& dialog) {
    if (ModalRunner()) return ModalRunner()(dialog);
    return dialog.exec();
}

TMessageHandler SetMessageHandler(TMessageHandler handler) {
    return std::exchange(MessageHandler(), std::move(handler));
}

TModalRunner SetModalRunner(TModalRunner runner) {
    return std::exchange(ModalRunner(), std::move(runner));
}
