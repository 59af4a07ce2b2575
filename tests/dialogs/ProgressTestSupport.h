#pragma once
// The operator's hand on a progress dialog: presses its "取消" once the work
// on the worker has reached the point a test holds it at.

#include <gtest/gtest.h>

#include <QProgressDialog>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <atomic>

class TCancelPresser {
  public:
    // Looks every millisecond for the progress dialog `name` under `parent`
    // once `reached` is set; checks its label, presses "取消", sets `pressed`.
    TCancelPresser(QWidget& parent, const char* name, const QString& label,
                   const std::atomic<bool>& reached, std::atomic<bool>& pressed) {
        QObject::connect(&FTimer, &QTimer::timeout, [&parent, name, label, &reached, &pressed] {
            if (!reached || pressed) return;
            auto* progress = parent.findChild<QProgressDialog*>(name);
            ASSERT_NE(progress, nullptr);
            EXPECT_EQ(progress->labelText(), label);
            auto* cancel = progress->findChild<QPushButton*>();
            ASSERT_NE(cancel, nullptr);
            EXPECT_EQ(cancel->text(), "取消");
            cancel->click();
            pressed = true;
        });
        FTimer.start(1);
    }

  private:
    QTimer FTimer;
};
