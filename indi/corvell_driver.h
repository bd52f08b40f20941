// The INDI device "Corvell Focuser": INDI's standard focuser properties
// over the program's core. Every request becomes one of the engine's intent
// operations and is answered as INDI clients expect: Busy while it runs,
// Ok when it has ended, Alert with the program's reason when it is refused
// or the module stops answering.
//
// The core (engine, serial link, reply timer, Alpaca server as its settings
// say) exists only while the device is connected: CONNECT takes the data
// folder's lock, builds the core and waits for the module's identify;
// DISCONNECT destroys the core and gives the folder back to the window.
#pragma once
#include <QObject>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <libindi/defaultdevice.h>
#include <libindi/indifocuserinterface.h>

#include "app/port_map.h"
#include "control/engine_io.h"
#include "storage/settings_codec.h"

class DataFolderLock;
namespace corvell::app {
class Core;
}

namespace corvell::indi {

struct DriverOptions {
    // The data folder; empty: the user's default folder.
    std::string dataDir;
    // COM1..COM5 for the port search (CORVELL_COMn).
    PortMap portMap;
    // Every byte on the line to standard error.
    bool trace = false;
    // The device's name (-n); empty: the name indiserver passes in INDIDEV,
    // else "Corvell Focuser".
    std::string deviceName;
};

class Driver : public INDI::DefaultDevice, public INDI::FocuserInterface {
public:
    explicit Driver(const DriverOptions& options);
    ~Driver() override;

    const char* getDefaultName() override { return "Corvell Focuser"; }
    bool initProperties() override;
    void ISGetProperties(const char* dev) override;
    bool updateProperties() override;
    bool ISNewNumber(const char* dev, const char* name, double values[], char* names[], int n) override;
    bool ISNewSwitch(const char* dev, const char* name, ISState* states, char* names[], int n) override;
    bool ISNewText(const char* dev, const char* name, char* texts[], char* names[], int n) override;

protected:
    bool saveConfigItems(FILE* fp) override;
    // DEBUG switches the byte trace, to the client as debug messages.
    void debugTriggered(bool enable) override;

private:
    enum class Phase { Disconnected, Connecting, Searching, Connected };

    // An accepted request whose property shows Busy until the engine has
    // done it: no motion, nothing pending on the line.
    struct Busy {
        INumberVectorProperty* number = nullptr;
        ISwitchVectorProperty* choice = nullptr;
        std::optional<long> target;  // a motion's target, checked at its end
        unsigned move = 0;           // the engine's number of the move it waits for (Engine::last_move); 0: none
    };

    void connectDevice();
    void startCore(const PortMap& map);
    void startSearch();
    void answeredForNobody(const corvell::UnattendedAnswer& answer);
    void disconnectDevice(IPState state, const std::string& message);
    void retire();
    // Runs after each pass of the event loop: shows what changed in the
    // engine and ends the requests that are done.
    void update();
    void updateConnecting();
    void connected();
    void showValues(bool force);
    void defineStoredPositions();
    std::string moveNotMade(const Busy& b) const;
    void startBusy(INumberVectorProperty* number, ISwitchVectorProperty* choice, std::optional<long> target = {});
    void endAllBusy(IPState state, const std::string& message);
    // The result of a request the engine answered at once: Busy, or Alert
    // with its reason.
    void answer(INumberVectorProperty& p, const std::string& reason, std::optional<long> target = {});
    void answer(ISwitchVectorProperty& p, const std::string& reason);
    // A request refused with `reason`: Alert on its property, unless the
    // property shows a request that runs, whose state a refusal never
    // changes; then the reason comes as the property's message alone.
    void refuse(INumberVectorProperty& p, const std::string& reason);
    void refuse(ISwitchVectorProperty& p, const std::string& reason);
    bool busy(const void* property) const;
    std::string portInUse() const;
    // The machine's serial ports and the port choices' devices, listed in
    // SYSTEM_PORTS; `define` defines the list anew.
    void scanPorts(bool define);
    void tracedLine(const std::string& line);

    DriverOptions options_;
    std::string dataDir_;
    PortMap connectionMap_;
    std::unique_ptr<DataFolderLock> lock_;
    std::unique_ptr<app::Core> core_;
    // A disconnected core and its lock, until the event loop has moved on.
    std::unique_ptr<app::Core> retiredCore_;
    std::unique_ptr<DataFolderLock> retiredLock_;
    QObject context_;
    Phase phase_ = Phase::Disconnected;
    bool searched_ = false;
    std::string searchResult_;
    bool lost_ = false;
    std::vector<Busy> busy_;

    // What the properties show, to send only what changed.
    std::optional<long> shownPosition_;
    long shownMax_ = -1;
    int shownBacklash_ = -1;
    long shownBacklashCount_ = -1;
    std::vector<std::string> shownStored_;

    // Connection tab: the device, its speed, the program's port search.
    IText PortT[1]{};
    ITextVectorProperty PortTP{};
    ISwitch BaudRateS[2]{};
    ISwitchVectorProperty BaudRateSP{};
    ISwitch AutoSearchS[2]{};
    ISwitchVectorProperty AutoSearchSP{};
    // The port list to pick DEVICE_PORT from, as libindi's serial
    // connection offers one, and its scan.
    ISwitch ScanS[1]{};
    ISwitchVectorProperty ScanSP{};
    std::vector<std::string> systemPorts_;
    std::vector<ISwitch> systemPortS_;
    ISwitchVectorProperty SystemPortSP{};
    // Main Control: the focuser in use and the initialization.
    IText FocuserT[2]{};
    ITextVectorProperty FocuserTP{};
    ISwitch InitS[1]{};
    ISwitchVectorProperty InitSP{};
    // The current focuser's stored positions and a go-to to each.
    INumber StoredN[kStoredSlots]{};
    INumberVectorProperty StoredNP{};
    ISwitch StoredGotoS[kStoredSlots]{};
    ISwitchVectorProperty StoredGotoSP{};
};

}  // namespace corvell::indi
