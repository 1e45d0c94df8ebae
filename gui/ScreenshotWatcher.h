// For the screenshot test: once the running station has finished every job it started (each
// bound slot's row coloured, no job running, no rescan pending), the window is grabbed into a PNG
// file, the station is stopped and the window closed. The keystation program starts one when the
// environment variable KS_SCREENSHOT names the file.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

class CStationController;
class CStationWindow;

class CScreenshotWatcher final : public QObject {
    Q_OBJECT

  public:
    static constexpr char kEnvironmentVariable[] = "KS_SCREENSHOT";
    static constexpr int kPollMs = 100;

    CScreenshotWatcher(CStationController& controller, CStationWindow& window, QString path);

    // True once the window has been saved.
    bool Saved() const { return saved_; }
    // True when the station has finished every job it started.
    bool JobsFinished() const;

  private:
    void Poll();

    CStationController& controller_;
    CStationWindow& window_;
    QString path_;
    QTimer timer_;
    bool saved_ = false;
    bool done_ = false;
};
