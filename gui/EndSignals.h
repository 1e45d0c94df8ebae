// SIGTERM, SIGINT and SIGHUP as events of the window's thread: each handler only writes the
// signal's number into a pipe, and a socket notifier on the pipe's other end calls the callback
// with the signal's name on the thread that made this object. One at a time per process.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

class CEndSignals final : public QObject {
    Q_OBJECT

  public:
    // onSignal gets "SIGTERM", "SIGINT" or "SIGHUP". Ok() tells whether the handlers are in place.
    explicit CEndSignals(std::function<void(const char* name)> onSignal);
    ~CEndSignals() override;
    CEndSignals(const CEndSignals&) = delete;
    CEndSignals& operator=(const CEndSignals&) = delete;

    bool Ok() const { return notifier_ != nullptr; }

  private:
    void Drain();

    std::function<void(const char*)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};
