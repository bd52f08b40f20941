// Pictures of the Settings page's Alpaca group (QT_QPA_PLATFORM=offscreen):
//   corvell-alpaca-group-shots OUTDIR
// alpaca-off.png: switched off, only this computer; alpaca-on.png: on and
// listening on loopback; alpaca-network.png: the local network chosen (off),
// answering this computer's own networks; alpaca-any-address.png: any address,
// with its warning; alpaca-port-taken.png: on, with the port in use.
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QDir>
#include <QRadioButton>
#include <QTcpServer>
#include <cstdio>

#include "tests/network/fake_focuser.h"
#include "ui/AlpacaSettingsGroup.h"
#include "network/alpaca_server.h"

using namespace corvell::alpaca;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QDir out(argc > 1 ? argv[1] : ".");
    QTcpServer taken;
    taken.listen(QHostAddress::LocalHost);  // a port in use by "another program"

    FakeFocuser device;
    AlpacaServer server(device, "");
    AlpacaSettings s = server.settings();
    s.httpPort = 11111;
    server.applySettings(s);
    AlpacaSettingsGroup group(server);
    group.resize(620, group.sizeHint().height());
    group.show();
    const auto shot = [&](const char* name) {
        QApplication::processEvents();
        group.resize(620, group.sizeHint().height());
        const QString path = out.filePath(name);
        group.grab().save(path);
        std::printf("%s: %s\n", qPrintable(path), qPrintable(server.statusText()));
    };
    shot("alpaca-off.png");
    group.findChild<QCheckBox*>("AlpacaEnabled")->setChecked(true);
    shot("alpaca-on.png");
    s = server.settings();
    s.httpPort = taken.serverPort();
    server.applySettings(s);
    group.findChild<QCheckBox*>("AlpacaEnabled")->setChecked(true);
    shot("alpaca-port-taken.png");
    group.findChild<QCheckBox*>("AlpacaEnabled")->setChecked(false);
    group.findChild<QRadioButton*>("AlpacaLocalNetwork")->setChecked(true);
    shot("alpaca-network.png");
    group.findChild<QCheckBox*>("AlpacaAnyAddress")->setChecked(true);
    shot("alpaca-any-address.png");
    auto* names = group.findChild<QLineEdit*>("AlpacaHostNames");
    names->setText("telescope.lan pi_4");
    emit names->editingFinished();
    shot("alpaca-host-names-refused.png");
    return 0;
}
