// The Alpaca server inside the real window, against the simulated module: a
// port in use said in Activity through the start-up, the current focuser's
// limits read at each request, and a move from the network shown as the
// Go To button's own.
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <cstdio>
#include <gtest/gtest.h>
#include <unistd.h>

#include "network/alpaca_server.h"
#include "storage/file_store.h"
#include "storage/settings_codec.h"
#include "tests/e2e/form_harness.h"
#include "ui/AlpacaSettingsGroup.h"
#include "ui/Dialogs.h"

using namespace e2e;

namespace {

std::string activity(Harness& h) { return lines(h.form->ActivityDisplay).join(" | ").toStdString(); }

QJsonValue value(int port, const std::string& method, const std::string& member, const std::string& body = "") {
    const QJsonObject reply =
        QJsonDocument::fromJson(QByteArray::fromStdString(alpacaRequest(port, method, member, body))).object();
    EXPECT_EQ(reply["ErrorNumber"].toInt(-1), 0) << member << ": " << reply["ErrorMessage"].toString().toStdString();
    return reply["Value"];
}

}  // namespace

TEST(AlpacaInTheWindow, PortInUseThenTheCurrentFocuserAndAMoveAsTheGoToButtons) {
    Harness h;
    for (int n : {1, 2}) {
        corvell::FocuserProfile p;
        p.description = n == 1 ? "Refractor" : "Newtonian";
        p.maxTravel = n == 1 ? 6600 : 20000;
        p.inchesPerCount = n == 1 ? 0.000125f : 0.0001f;
        std::string error;
        ASSERT_TRUE(
            corvell::save_file_atomically(h.path(*corvell::profile_file_name(n)), corvell::encode_profile(p), error));
    }
    corvell::ProgramConfig config;
    config.currentFileNumber = 1;
    config.nextFileNumber = 3;
    std::string error;
    ASSERT_TRUE(corvell::save_file_atomically(h.path("focuser.dc1"), corvell::encode_config(config), error));
    int takenPort = 0, port = 0;
    const int taken = listenOnFreePort(takenPort);
    ::close(listenOnFreePort(port));
    std::FILE* cfg = std::fopen(h.path("alpaca.cfg").c_str(), "w");
    std::fprintf(cfg, "enabled=1\nhttp_port=%d\n", takenPort);
    std::fclose(cfg);

    // The port is in use: said in Activity, and still there once the start-up
    // has talked to the module; the window works on.
    h.openWindow();
    ASSERT_TRUE(h.waitCommunicating());
    EXPECT_EQ(activity(h), "Alpaca server not listening: | port " + std::to_string(takenPort) +
                               " is in use by another program (127.0.0.1:" + std::to_string(takenPort) + ")");
    EXPECT_TRUE(h.form->alpacaServer().statusText().startsWith("Not listening: port"))
        << h.form->alpacaServer().statusText().toStdString();
    h.form->AlpacaGroup->findChild<QSpinBox*>("AlpacaHttpPort")->setValue(port);
    EXPECT_EQ(activity(h), "Alpaca server on, port " + std::to_string(port) + " (this computer only)");
    ::close(taken);
    // Names of the computer: refused while one is not a name, then kept.
    auto* names = h.form->AlpacaGroup->findChild<QLineEdit*>("AlpacaHostNames");
    auto* refusal = h.form->AlpacaGroup->findChild<QLabel*>("AlpacaHostNamesRefusal");
    names->setText("scope pi_4");
    emit names->editingFinished();
    EXPECT_EQ(refusal->text().toStdString(), "'pi_4' is not a host name (letters, digits and '-', with dots between)");
    EXPECT_TRUE(h.form->alpacaServer().settings().hostNames.empty());
    names->setText("Scope.LAN, scope-pi");
    emit names->editingFinished();
    EXPECT_TRUE(refusal->isHidden());
    EXPECT_EQ(h.form->alpacaServer().settings().hostNames, (std::vector<std::string>{"scope.lan", "scope-pi"}));

    value(port, "PUT", "connected", "Connected=True");
    EXPECT_EQ(value(port, "GET", "maxstep").toInt(), 6600);
    EXPECT_DOUBLE_EQ(value(port, "GET", "stepsize").toDouble(), 3.175);
    EXPECT_EQ(value(port, "GET", "description").toString().toStdString(),
              "Corvell control module with focuser Refractor");
    // Another focuser becomes the current one: the first one's file is gone
    // when the files are scanned again.
    std::remove(h.path("fc00001.df1").c_str());
    h.form->RestoreDefaults->click();
    ASSERT_TRUE(h.form->AreYouSureDialog->isVisible());
    h.form->AreYouSureDialog->OKBtn->click();
    ASSERT_TRUE(waitUntil([&] { return h.form->FocuserType->text() == "Newtonian"; }, 3000));
    EXPECT_EQ(value(port, "GET", "maxstep").toInt(), 20000);
    EXPECT_DOUBLE_EQ(value(port, "GET", "stepsize").toDouble(), 2.54);

    // A move from the network: the Go To button's lines and dialog.
    ASSERT_TRUE(h.waitIdle());
    h.sim->setSuppressCompletion(true);
    value(port, "PUT", "move", "Position=3000");
    ASSERT_TRUE(waitUntil([&] { return h.goToRunning(); }, 2000));
    EXPECT_EQ(activity(h), "Go To command in progress | Please wait");
    EXPECT_TRUE(h.form->StopGoToDialog->isVisible());
    EXPECT_TRUE(value(port, "GET", "ismoving").toBool());
    value(port, "PUT", "halt");
    ASSERT_TRUE(waitUntil([&] { return !h.engine().moving(); }, 3000));
    EXPECT_FALSE(h.form->StopGoToDialog->isVisible());
    EXPECT_EQ(value(port, "GET", "position").toInt(), h.sim->position());
}
