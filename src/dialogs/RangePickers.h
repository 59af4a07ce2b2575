#pragma once
// The pickers of a time range and its quick ranges, as the history page and
// the alarm page show them.

#include <QDateTime>
#include <QString>
#include <array>
#include <functional>

#include "store/DateTime.h"

class QDateTimeEdit;
class QPushButton;
class QWidget;

// Wall-clock conversions for date pickers: the edit holds the local date and
// time of day as plain fields (kept in UTC so no local time is ever invalid).
QDateTime PickerDateTime(TDateTime value);
TDateTime PickerValue(const QDateTime& value);

// A picker with a calendar pop-up, showing the date and the time of day, or
// the date only, holding `value`.
QDateTimeEdit* MakeRangePicker(const QString& objectName, bool timeOfDay, TDateTime value,
                               QWidget* parent);

enum class TQuickRange { Today, Last24Hours, Last7Days, Last30Days };
constexpr size_t kQuickRangeCount = 4;

struct TTimeRange {
    TDateTime Begin;
    TDateTime End;
};

// The range a quick range stands for at `now`: today is the whole day up to
// its last millisecond, the others end at `now`.
TTimeRange QuickRangeAt(TQuickRange range, TDateTime now);

// The buttons "今天", "最近24小时", "最近7天", "最近30天" in that order, each
// calling `pick` with its range when clicked.
std::array<QPushButton*, kQuickRangeCount> MakeQuickRangeButtons(
    QWidget* parent, const std::function<void(TQuickRange)>& pick);
