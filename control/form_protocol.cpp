// The main window's side of the command protocol: starting each command,
// collecting replies, the reply timer and the time-out report.
#include <QListWidget>
#include <QLabel>

#include "control/protocol.h"
#include "serial/TZComm.h"
#include "ui/Dialogs.h"
#include "ui/RadioGroup.h"
#include "ui/TForm1.h"

using namespace corvell;

void TForm1::activity(const QString& line1, const QString& line2) {
    ActivityDisplay->clear();
    ActivityDisplay->addItem(line1);
    if (!line2.isNull()) ActivityDisplay->addItem(line2);
}

void TForm1::send_command() {
    ComPort->PurgeCommPort(kPurgeRxClear);
    reply.reset(reply.length);
    ComPort->WriteCommByte(static_cast<unsigned char>(activeCommand));
    load_timer(reply_time_limit(activeCommand, queuedCommand));
}

void TForm1::load_timer(int ms) {
    SerialTimer.stop();
    SerialTimer.setInterval(ms);
    SerialTimer.start();
    timerExpired = false;
}

void TForm1::SerialTimerTimer() { timerExpired = true; }

void TForm1::ComPortDataAvailable(TZComm*) {
    uint8_t scratch[3];
    int n = ComPort->ReadComm(scratch, reply.length);
    if (n > 0) reply.store(scratch, n);
}

void TForm1::serial_timeout() {
    timerExpired = false;
    StatusDisplay->clear();
    StatusDisplay->addItem("Serial Communications Timeout");
    StatusDisplay->addItem("Check Corvell connections");
    Connection->setText("Not communicating");
    read_identify();
}

void TForm1::read_identify() {
    activeCommand = 'b';
    reply.length = 2;
    activity("Waiting for focuser response");
    send_command();
}

void TForm1::read_status() {
    activeCommand = 't';
    reply.length = 2;
    send_command();
}

void TForm1::read_position() {
    activeCommand = 'p';
    reply.length = 3;
    send_command();
}

static void start_simple(TForm1* f, char letter, const char* done) {
    if (f->activeCommand != 0) {
        f->queuedCommand = letter;
        return;
    }
    f->activeCommand = letter;
    f->doneMessage1 = done;
    f->doneMessage2 = "Waiting for command";
    f->reply.length = 1;
    f->activity("Waiting");
    f->send_command();
}

void TForm1::stop_command() { start_simple(this, 's', "Stopped"); }
void TForm1::move_in_command() { start_simple(this, 'i', "Moving In"); }
void TForm1::move_out_command() { start_simple(this, 'o', "Moving Out"); }

void TForm1::home_position_command() {
    activeCommand = 'h';
    reply.length = 1;
    doneMessage1 = "Focuser initialization in progress";
    doneMessage2 = "Please wait";
    StatusDisplay->clear();
    PositionDisplay->clear();
    send_command();
}

void TForm1::send_zero_command() {
    activeCommand = 'z';
    reply.length = 1;
    activity("Waiting");
    send_command();
}

void TForm1::show_confirmation(const QString& question) {
    messageText = question;
    AreYouSureDialog->tag = 0;
    AreYouSureDialog->showCentred();
}

void TForm1::set_zero_command() {
    followUpCommand = 'z';
    activeCommand = 'a';
    confirmAnswer = 0;
    doneMessage1 = "Position register set to zero";
    doneMessage2 = "Waiting for command";
    show_confirmation("Are you sure you want to zero the position value?");
}

void TForm1::go_to_command() {
    activeCommand = 'v';
    GoToDialog->setWindowTitle("Enter Focuser Go To Position");
    doneMessage1 = "Go To command in progress";
    doneMessage2 = "Please wait";
    GoToDialog->prompt = "\nEnter the desired focuser position.";
    GoToDialog->presetValue = length_of_counts(currentPosition, inchesPerCount, unit());
    GoToDialog->presetPrecision = 5;
    GoToDialog->presetDecimals = 3;
    GoToDialog->lengthEntry = true;
    GoToDialog->travelLimitCheck = true;
    GoToDialog->tag = 0;
    GoToDialog->showCentred();
}

void TForm1::set_command_argument(long value) { split_argument(static_cast<unsigned long>(value), commandArgHigh, commandArgLow); }

void TForm1::go_to_position_command() {
    if (activeCommand != 0) {
        queuedCommand = 'g';
        return;
    }
    activeCommand = 'g';
    followUpCommand = 'g';
    reply.length = 1;
    send_command();
    ComPort->WriteCommByte(commandArgHigh);
    ComPort->WriteCommByte(commandArgLow);
    doneMessage1 = "Go To command in progress";
    doneMessage2 = "Please wait";
    StatusDisplay->clear();
    PositionDisplay->clear();
    StopGoToDialog->showCentred();
}

void TForm1::setup_com_port() {
    Connection->setText(" ");
    if (ComPort->Connected()) ComPort->CloseConnection();
    selectionLock = true;
    int port = ComPortSelect->itemIndex();
    if (port < 1 || port > 4) {
        port = 0;
        ComPortSelect->setItemIndex(0);
    }
    ComPort->Port = "com" + std::to_string(port + 1);
    if (BaudRateSelect->itemIndex() == 1) {
        ComPort->BaudRate = 2400;
    } else {
        ComPort->BaudRate = 9600;
        BaudRateSelect->setItemIndex(0);
    }
    selectionLock = false;
    if (ComPort->OpenConnection()) {
        reconnectPending = false;
        read_identify();
    } else {
        load_timer(kReconnectDelayMs);
        reconnectPending = true;
    }
}
