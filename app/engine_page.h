// The browser page as a front end of the core, beside the window: the
// engine's screen and the network server's settings as the JSON the page
// shows, and the page's actions as the calls the window's controls make.
// It decides no rule of its own: what the engine refuses it refuses, and
// says why, as it does for the window.
#pragma once
#include <QObject>
#include <string>

#include "network/setup_page.h"

namespace corvell::app {

class Core;

class EnginePage : public QObject, public alpaca::PageFrontEnd {
public:
    explicit EnginePage(Core& core);
    alpaca::SetupPage& page() { return page_; }

    QJsonObject state() const override;
    QJsonObject fixed() const override;
    Result act(const std::string& name, const QJsonObject& values) override;

private:
    Core& core_;
    alpaca::SetupPage page_;
};

}  // namespace corvell::app
