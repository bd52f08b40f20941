#include "ui/AlpacaSettingsGroup.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>

#include "network/alpaca_server.h"

using corvell::alpaca::AlpacaServer;
using corvell::alpaca::AlpacaSettings;

AlpacaSettingsGroup::AlpacaSettingsGroup(AlpacaServer& server, QWidget* parent)
    : QGroupBox("Network (ASCOM Alpaca)", parent), server_(server) {
    setObjectName("AlpacaSettingsGroup");
    enabled_ = new QCheckBox("Let imaging and autofocus programs move the focuser");
    enabled_->setObjectName("AlpacaEnabled");
    const auto portBox = [](const char* name) {
        auto* box = new QSpinBox;
        box->setObjectName(name);
        box->setRange(1, 65535);
        box->setKeyboardTracking(false);  // a typed port applies when typing ends
        return box;
    };
    httpPort_ = portBox("AlpacaHttpPort");
    discoveryPort_ = portBox("AlpacaDiscoveryPort");
    thisComputer_ = new QRadioButton("Only this computer (127.0.0.1)");
    thisComputer_->setObjectName("AlpacaOnlyThisComputer");
    localNetwork_ = new QRadioButton("The local network");
    localNetwork_->setObjectName("AlpacaLocalNetwork");
    anyAddress_ = new QCheckBox("Answer any address, not only this computer's own networks");
    anyAddress_->setObjectName("AlpacaAnyAddress");
    networkNote_ = new QLabel;
    networkNote_->setObjectName("AlpacaNetworkNote");
    networkNote_->setWordWrap(true);
    hostNames_ = new QLineEdit;
    hostNames_->setObjectName("AlpacaHostNames");
    hostNames_->setPlaceholderText("telescope.lan");
    hostNames_->setToolTip(
        "Names a browser or an imaging program may use for this computer besides its own name and "
        "its addresses (a name the router gives it), separated by blanks");
    hostNamesRefusal_ = new QLabel;
    hostNamesRefusal_->setObjectName("AlpacaHostNamesRefusal");
    hostNamesRefusal_->setStyleSheet("color: #a00000;");
    hostNamesRefusal_->setWordWrap(true);
    hostNamesRefusal_->hide();
    status_ = new QLabel;
    status_->setObjectName("AlpacaStatus");
    status_->setWordWrap(true);
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* grid = new QGridLayout(this);
    grid->addWidget(enabled_, 0, 0, 1, 5);
    grid->addWidget(new QLabel("HTTP port:"), 1, 0);
    grid->addWidget(httpPort_, 1, 1);
    grid->addWidget(new QLabel("Discovery port (UDP):"), 1, 2);
    grid->addWidget(discoveryPort_, 1, 3);
    grid->addWidget(new QLabel("Answer on:"), 2, 0);
    auto* who = new QHBoxLayout;
    who->addWidget(thisComputer_);
    who->addWidget(localNetwork_);
    who->addStretch();
    grid->addLayout(who, 2, 1, 1, 4);
    grid->addWidget(anyAddress_, 3, 0, 1, 5);
    grid->addWidget(networkNote_, 4, 0, 1, 5);
    grid->addWidget(new QLabel("Names of this computer:"), 5, 0);
    grid->addWidget(hostNames_, 5, 1, 1, 4);
    grid->addWidget(hostNamesRefusal_, 6, 0, 1, 5);
    grid->addWidget(status_, 7, 0, 1, 5);
    grid->setColumnStretch(4, 1);

    showSettings();
    showStatus(server_.statusText());
    connect(&server_, &AlpacaServer::statusChanged, this, &AlpacaSettingsGroup::showStatus);
    connect(enabled_, &QCheckBox::toggled, this, &AlpacaSettingsGroup::apply);
    connect(localNetwork_, &QRadioButton::toggled, this, &AlpacaSettingsGroup::apply);
    connect(anyAddress_, &QCheckBox::toggled, this, &AlpacaSettingsGroup::apply);
    connect(httpPort_, qOverload<int>(&QSpinBox::valueChanged), this, &AlpacaSettingsGroup::apply);
    connect(discoveryPort_, qOverload<int>(&QSpinBox::valueChanged), this, &AlpacaSettingsGroup::apply);
    connect(hostNames_, &QLineEdit::editingFinished, this, &AlpacaSettingsGroup::apply);
}

void AlpacaSettingsGroup::showSettings() {
    const AlpacaSettings& s = server_.settings();
    const QSignalBlocker b1(enabled_), b2(httpPort_), b3(discoveryPort_), b4(localNetwork_), b5(thisComputer_),
        b6(anyAddress_), b7(hostNames_);
    enabled_->setChecked(s.enabled);
    httpPort_->setValue(s.httpPort);
    discoveryPort_->setValue(s.discoveryPort);
    localNetwork_->setChecked(s.localNetwork);
    thisComputer_->setChecked(!s.localNetwork);
    anyAddress_->setChecked(s.allowAnyAddress);
    anyAddress_->setEnabled(s.localNetwork);
    // What is being typed stays until it is taken or refused.
    const QString names = QString::fromStdString(corvell::alpaca::host_names_text(s.hostNames));
    if (!hostNames_->hasFocus() && hostNamesRefusal_->isHidden() && hostNames_->text() != names)
        hostNames_->setText(names);
    // Who can move the focuser, in one line.
    const bool anyone = s.localNetwork && s.allowAnyAddress;
    networkNote_->setText(!s.localNetwork ? "Only programs on this computer can move the focuser."
                          : anyone        ? "Anyone who can reach this computer can move the focuser."
                                          : "Computers on this computer's own networks can move the focuser.");
    networkNote_->setStyleSheet(anyone ? "color: #a00000; font-weight: bold;" : QString());
}

void AlpacaSettingsGroup::apply() {
    AlpacaSettings s = server_.settings();
    s.enabled = enabled_->isChecked();
    s.httpPort = httpPort_->value();
    s.discoveryPort = discoveryPort_->value();
    s.localNetwork = localNetwork_->isChecked();
    s.allowAnyAddress = anyAddress_->isChecked();
    // Names that are not all names are refused, and the names in use kept.
    const std::string refusal = corvell::alpaca::read_host_names(hostNames_->text().toStdString(), s.hostNames);
    hostNamesRefusal_->setText(QString::fromStdString(refusal));
    hostNamesRefusal_->setVisible(!refusal.empty());
    if (s == server_.settings()) return;
    server_.applySettings(s);
    showSettings();
}

void AlpacaSettingsGroup::showStatus(const QString& text) {
    // The server may have been restarted from elsewhere (the command line).
    showSettings();
    if (status_->text() != "Status: " + text) status_->setText("Status: " + text);
}
