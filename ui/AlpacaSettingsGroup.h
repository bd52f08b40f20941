// The Settings page's group for the ASCOM Alpaca server: on or off, the HTTP
// and discovery ports, who may connect (this computer, or the local network:
// its own subnets, or any address), the names of this computer a request
// may give besides its own, and the server's status line. Every change is
// saved and the server restarts with it at once.
#pragma once
#include <QGroupBox>

class QCheckBox;
class QLabel;
class QLineEdit;
class QRadioButton;
class QSpinBox;

namespace corvell::alpaca {
class AlpacaServer;
}

class AlpacaSettingsGroup : public QGroupBox {
    Q_OBJECT
public:
    explicit AlpacaSettingsGroup(corvell::alpaca::AlpacaServer& server, QWidget* parent = nullptr);

private:
    void showSettings();
    void apply();
    void showStatus(const QString& text);

    corvell::alpaca::AlpacaServer& server_;
    QCheckBox* enabled_;
    QSpinBox* httpPort_;
    QSpinBox* discoveryPort_;
    QRadioButton* thisComputer_;
    QRadioButton* localNetwork_;
    QCheckBox* anyAddress_;
    QLabel* networkNote_;
    QLineEdit* hostNames_;
    QLabel* hostNamesRefusal_;  // why the names typed were not taken
    QLabel* status_;
};
