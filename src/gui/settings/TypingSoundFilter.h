#pragma once
#include <QObject>
#include <QPointer>

class QWidget;

namespace corvid {

class Notifier;

// The application-wide look at every event for the typing sound: a typed
// character (not Enter, not Backspace) or an input-method composition that
// reaches the input box. It never takes an event away from anyone.
class TypingSoundFilter : public QObject {
    Q_OBJECT
public:
    TypingSoundFilter(QWidget* inputBox, Notifier& notifier, QObject* parent = nullptr);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> inputBox_;
    Notifier& notifier_;
};

} // namespace corvid
