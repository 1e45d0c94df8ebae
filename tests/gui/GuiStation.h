// A station with its real window on a simulated USB host, for the window tests: a home folder
// with config.ini, devices.ini and the language files, emulated loader devices (optionally held
// at their first command until the test lets them go), the controller on the Qt main-thread
// queue, and helpers that wait while the Qt event loop runs.
#pragma once

#include <sys/mount.h>
#include <unistd.h>
#include <QApplication>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/PortMapStore.h"
#include "app/StationController.h"
#include "gui/QtMainThreadPoster.h"
#include "gui/StationWindow.h"
#include "keydb/KeyFileWriter.h"
#include "platform/sim/DemoImage.h"
#include "platform/sim/LoaderEmulator.h"
#include "platform/sim/SimUsbHost.h"
#include "support/Clock.h"
#include "tests/common/StationHome.h"

namespace gui_test {

namespace fs = std::filesystem;

using station_fixture::FastClock;
using station_fixture::GateClock;
using station_fixture::StationHome;
using station_fixture::WriteText;

// A tmpfs of `bytes` at `folder` (root only), unmounted when this goes, even when a check ends
// the test early. Mounted() is false where none can be mounted.
class SmallDisk {
  public:
    SmallDisk(const fs::path& folder, size_t bytes) : folder_(folder) {
        fs::create_directories(folder);
        const std::string options = "size=" + std::to_string(bytes);
        mounted_ = ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallDisk() {
        if (mounted_) {
            ::umount2(folder_.c_str(), MNT_DETACH);
        }
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool Mounted() const { return mounted_; }
    // Remounts it read-only: a folder even root cannot write.
    bool MakeReadOnly() {
        return ::mount("tmpfs", folder_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

  private:
    fs::path folder_;
    bool mounted_ = false;
};

// Runs the event loop until pred holds; false after the time-out.
inline bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 20000) {
    return QTest::qWaitFor(pred, timeoutMs);
}

// Runs `action` on the first modal window of type T that shows up within the time-out, from
// inside the modal loop that shows it. Handled() tells whether it ran.
template <typename T>
class ModalDriver {
  public:
    explicit ModalDriver(std::function<void(T*)> action, int timeoutMs = 20000)
        : action_(std::move(action)),
          deadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs)) {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Poll(); });
        timer_.start();
    }
    bool Handled() const { return handled_; }

  private:
    void Poll() {
        if (handled_ || std::chrono::steady_clock::now() > deadline_) {
            timer_.stop();
            return;
        }
        if (T* modal = qobject_cast<T*>(QApplication::activeModalWidget())) {
            handled_ = true;
            timer_.stop();
            action_(modal);
        }
    }

    std::function<void(T*)> action_;
    std::chrono::steady_clock::time_point deadline_;
    QTimer timer_;
    bool handled_ = false;
};

// Picks `path` in Qt's own file dialog and accepts it. selectFile() leaves the name box as it is
// once the box has the focus (which the shown dialog gives it sooner or later), and accepting an
// empty box only opens the folder: the name goes into the box itself.
inline void ChooseFile(QFileDialog* dialog, const QString& path) {
    const QFileInfo info(path);
    dialog->setDirectory(info.absolutePath());
    if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) {
        name->setText(info.fileName());
    } else {
        dialog->selectFile(path);
    }
    static_cast<QDialog*>(dialog)->accept();
}

class GuiStation {
  public:
    explicit GuiStation(const std::string& name) : home_("ks_gui_" + name) {
        host_ = std::make_unique<SimUsbHost>(clock_);
        host_->AddController(true, 20);
        portMap_ = std::make_unique<CPortMapFile>((home_.Path() / "portmap.ini").string());
        platform_ = std::make_unique<StationPlatform>(
            StationPlatform{*host_, *host_, *host_, clock_, *portMap_, home_.Folder(), {}, {}});
    }

    ~GuiStation() {
        for (auto& gate : gates_) {
            gate->Open();
        }
        if (window_) {
            window_->AttachController(nullptr);
        }
        controller_.reset();
        window_.reset();
        host_.reset();
    }

    GuiStation(const GuiStation&) = delete;
    GuiStation& operator=(const GuiStation&) = delete;

    const fs::path& Home() const { return home_.Path(); }

    void WriteConfig() { home_.WriteConfig(); }

    // Plugs a demo loader device; with a gate, its commands wait while the gate is closed.
    std::shared_ptr<LoaderEmulator> Plug(const std::string& location, int index = 0,
                                         GateClock* gate = nullptr) {
        std::shared_ptr<LoaderEmulator> device =
            gate != nullptr ? MakeDemoLoader(index, DemoLayout::kGpt, *gate)
                            : MakeDemoLoader(index, DemoLayout::kGpt, clock_);
        if (gate != nullptr) {
            LoaderFaults faults = device->Faults();
            faults.latencyPerCommandMs = 1;
            device->SetFaults(faults);
        }
        if (!host_->Plug(location, device)) {
            return nullptr;
        }
        devices_[location] = device;
        return device;
    }
    GateClock* NewGate() {
        gates_.push_back(std::make_unique<GateClock>(true));
        return gates_.back().get();
    }
    SimUsbHost& Host() { return *host_; }

    // Creates the window and the controller with the current config, initialises and shows
    // them, and waits until the first rescan is done and shown.
    StartupResult Boot() {
        WriteConfig();
        window_ = std::make_unique<CStationWindow>();
        StationOptions options;
        options.scanIntervalMs = 5;
        options.jobClock = jobClock;
        options.practice = practice;
        options.productionFolder = productionFolder;
        options.practiceWithProductionKeys = practiceWithProductionKeys;
        options.systemLocale = systemLocale;
        controller_ = std::make_unique<CStationController>(*platform_, *window_, poster_, options);
        window_->AttachController(controller_.get());
        const StartupResult result = controller_->Initialise();
        if (result.started) {
            window_->show();
            Settle();
        }
        return result;
    }

    CStationWindow& Window() { return *window_; }
    CStationController& Controller() { return *controller_; }

    // Waits until every device change seen so far has been rescanned and shown.
    bool Settle() {
        const bool done = WaitFor(
            [&] { return controller_->CompletedRescans() > 0 && !controller_->RescanBusy(); });
        Flush();
        return done;
    }
    // Waits until a slot holds the device at location.
    bool WaitBound(const std::string& location) {
        return WaitFor([&] {
                   for (const DeviceSlot& s : controller_->SlotsSnapshot()) {
                       if (s.portLocation == location && s.present != 0) {
                           return true;
                       }
                   }
                   return false;
               }) &&
               Settle();
    }
    bool AnyRunning() {
        for (const DeviceSlot& s : controller_->SlotsSnapshot()) {
            if (s.running != 0) {
                return true;
            }
        }
        return false;
    }

    QString Text(int id) {
        if (QPushButton* b = window_->Button(id)) {
            return b->text();
        }
        if (QLabel* l = window_->Label(id)) {
            // A line cut to the label's width: what the controller said, whole.
            const QVariant full = l->property(CStationWindow::kFullTextProperty);
            return full.isValid() ? full.toString() : l->text();
        }
        return QString();
    }
    bool Enabled(int id) { return window_->Control(id)->isEnabled(); }
    QString Lang(const char* key) { return QString::fromStdString(controller_->GetLangText(key)); }
    // Clicks a button; what the click changed in the model is shown before this returns.
    void Click(int id) {
        QTest::mouseClick(window_->Button(id), Qt::LeftButton);
        Flush();
    }
    // Runs the window's queued updates.
    static void Flush() {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }

    // A key file of `count` random keys of keySize bytes, `used` already recorded as used.
    std::string MakeKeyFile(const std::string& name, uint32_t count, uint32_t keySize,
                            std::vector<uint32_t> used = {}) {
        std::string error;
        const std::string path = (home_.Path() / name).string();
        if (!station_fixture::WriteSampleKeyFile(path, count, keySize, std::move(used), &error)) {
            qWarning("key file: %s", error.c_str());
        }
        return path;
    }

  private:
    StationHome home_;

  public:
    std::map<std::string, std::string>& system = home_.system;
    std::map<std::string, std::string>& language = home_.language;
    IClock* jobClock = nullptr;    // the controller's clock of job times; null: the system's
    bool practice = false;         // practice mode (the title and the status line say so)
    std::string productionFolder;  // production's application folder, for practice
    bool practiceWithProductionKeys = false;  // practice may take production's key stocks
    std::string systemLocale;                 // a first start on a system of this locale

  private:
    FastClock clock_{50};
    CQtMainThreadPoster poster_;
    std::vector<std::unique_ptr<GateClock>> gates_;
    std::unique_ptr<SimUsbHost> host_;
    std::unique_ptr<CPortMapFile> portMap_;
    std::unique_ptr<StationPlatform> platform_;
    std::map<std::string, std::shared_ptr<LoaderEmulator>> devices_;
    std::unique_ptr<CStationWindow> window_;
    std::unique_ptr<CStationController> controller_;
};

}  // namespace gui_test
