// Event types shared by the skin widgets. Handlers run on the UI thread, inside the widget's own
// input handling; they may change the widget (its pictures, its entries) but must not delete it.
#pragma once

#include <QObject>
#include <functional>

// `Sender` is the widget that fired the event, for handlers shared by several widgets.
using TNotifyEvent = std::function<void(QObject* Sender)>;
