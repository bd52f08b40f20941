// The executive: one pass each time the main loop runs empty. It consumes
// the reply or time-out of the exchange in progress, advances multi-pass
// operations, dispatches a queued command, and polls the position while idle.
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTabWidget>

#include "control/protocol.h"
#include "positioning/number_format.h"
#include "serial/TZComm.h"
#include "storage/file_store.h"
#include "ui/Dialogs.h"
#include "ui/TForm1.h"

using namespace corvell;

void TForm1::show_operate_page() { PageControl1->setCurrentWidget(TabSheet1); }

void TForm1::ExecutiveActivate() {
    if (started) return;
    // An older release's parameter file is converted by its own sequence;
    // until that exists the ordinary start-up runs.
    start_up_clean();
}

void TForm1::start_up_clean() {
    started = true;
    setup_com_port();
    FocuserList->clear();
    FocuserFiles->clear();
    ProfileListing listing =
        list_profiles(nextFileNumber, currentFileNumber, [this](int n) { return read_profile_head(n); });
    for (const ProfileRow& row : listing.rows) {
        FocuserList->addItem(QString::fromStdString(row.description));
        FocuserFiles->addItem(QString::number(row.number));
    }
    if (listing.selectedRow >= 0) {
        FocuserList->setCurrentRow(listing.selectedRow);
        FocuserFiles->setCurrentRow(listing.selectedRow);
    } else if (!listing.rows.empty()) {
        FocuserList->setCurrentRow(0);
        FocuserFiles->setCurrentRow(0);
        currentFileNumber = listing.rows[0].number;
        write_config_file();
    }
    make_file_name(currentFileNumber);
    read_focuser_file();
    update_displays();
    read_identify();
}

// The common start of a reply state: a time-out is reported (on the Operate
// page when asked) and false returned; a complete reply is taken, the timer
// reloaded with the poll interval, and true returned.
bool TForm1::take_reply(bool operateOnTimeout) {
    if (timerExpired) {
        if (operateOnTimeout) show_operate_page();
        serial_timeout();
        return false;
    }
    if (!reply.ready) return false;
    reply.ready = false;
    load_timer(kPollIntervalMs);
    return true;
}

void TForm1::handle_simple_echo() {
    ActivityDisplay->clear();
    if (reply.buffer[0] == 'r') {
        activity("Command error", "Waiting for command");
        show_operate_page();
    } else if (reply.buffer[0] == static_cast<uint8_t>(activeCommand)) {
        activity(doneMessage1, doneMessage2);
    } else {
        activity("Focuser response error", "Waiting for command");
        show_operate_page();
    }
    read_status();
}

// Echo of a go-to or homing: on success the completion byte is awaited for
// the given time; otherwise the operation ends with the status read.
void TForm1::handle_motion_echo(int completionLimitMs) {
    const bool goTo = activeCommand == 'g';
    if (timerExpired && goTo) StopGoToDialog->hide();
    if (!take_reply(true)) return;
    ActivityDisplay->clear();
    const uint8_t byte = reply.buffer[0];
    if (byte == static_cast<uint8_t>(activeCommand)) {
        activity(doneMessage1, doneMessage2);
        activeCommand = 'c';
        reply.reset(1);
        load_timer(completionLimitMs);
        if (!goTo) ReinitText->hide();
        return;
    }
    activity(byte == 'r' ? "Command error" : "Focuser response error", "Waiting for command");
    if (goTo) StopGoToDialog->hide();
    show_operate_page();
    read_status();
}

void TForm1::handle_completion() {
    if (stopRequested) {
        stopRequested = false;
        ComPort->WriteCommByte('s');
        activeCommand = 0;
        queuedCommand = 0;
        clippedOvershoot = false;
        read_position();
        activity("Command terminated by user", "Waiting for command");
        return;
    }
    if (timerExpired) {
        show_operate_page();
        StopGoToDialog->hide();
        serial_timeout();
        return;
    }
    if (!reply.ready) return;
    reply.ready = false;
    activeCommand = 0;
    if (queuedCommand != 'q') StopGoToDialog->hide();
    ActivityDisplay->clear();
    const uint8_t byte = reply.buffer[0];
    if (byte == 'r') {
        activity("Command error", "Waiting for command");
        show_operate_page();
    } else if (byte != 'c') {
        activity("Focuser response error", "Waiting for command");
        show_operate_page();
    } else if (followUpCommand == 'g') {
        activity("Go To completed", "Waiting for command");
    } else if (followUpCommand == 'y') {
        activity("Initialization completed", "Waiting for command");
    }
    read_status();
}

void TForm1::executiveIdle() {
    static bool running = false;  // a dialog shown from a pass must not start another pass
    if (running) return;
    running = true;
    struct Reset {
        bool& f;
        ~Reset() { f = false; }
    } reset{running};

    if (reconnectPending && timerExpired) {
        reconnectPending = false;
        timerExpired = false;
        if (ComPort->OpenConnection()) read_identify();
    }

    if (activeCommand == 0) {
        if (queuedCommand != 0) {
            switch (queuedCommand) {
            case 'g': go_to_position_command(); break;
            case 'h': home_position_command(); break;
            case 'i': move_in_command(); break;
            case 'o': move_out_command(); break;
            case 's': stop_command(); break;
            case 'z': send_zero_command(); break;
            case 'r': delete_file_command(); break;
            case 'q': activeCommand = 'q'; break;
            default: break;  // states of sequences not built here are dropped
            }
            queuedCommand = 0;
        } else if (timerExpired) {
            read_position();
        }
        return;
    }
    if (!is_state_letter(activeCommand)) return;

    switch (activeCommand) {
    case 'a':
        if (AreYouSureDialog->tag == 1) {
            activeCommand = 0;
            if (confirmAnswer == 1) {
                queuedCommand = followUpCommand;
                activity("Waiting");
            } else if (followUpCommand == 'q') {
                clippedOvershoot = false;  // the user declined the clipped overshoot: nothing moves
            }
        }
        break;
    case 'b':
        if (timerExpired) {
            if (queuedCommand == 'k') {
                sequenceCounter = 100;
                activeCommand = 'k';
            } else {
                Connection->setText("Not communicating");
                read_identify();
            }
        } else if (reply.ready) {
            reply.ready = false;
            if (reply.buffer[0] == 'b' && reply.buffer[1] == 'j') {
                activity("Focuser responding", "Waiting for command");
                Connection->setText("Communicating");
                if (queuedCommand == 'k') {
                    ++sequenceCounter;
                    activeCommand = 'k';
                } else {
                    read_status();
                }
            } else {
                read_identify();
            }
        }
        break;
    case 'c':
        handle_completion();
        break;
    case 'g':
        handle_motion_echo(goToTimeLimit);
        break;
    case 'h':
        handle_motion_echo(kHomingLimitMs);
        break;
    case 'i':
    case 'o':
    case 's':
    case 'w':
    case 'z':
        if (take_reply(true)) handle_simple_echo();
        break;
    case 'm':
        if (AreYouSureDialog->tag == 1) {
            activeCommand = 0;
            if (confirmAnswer) {
                const int i = selectedSlot - 1;
                QLineEdit* d = Description[i];
                d->setReadOnly(false);
                if (storedPositions[i] < 0) d->setText("Enter a description");
                d->selectAll();
                d->setFocus();
                storedPositions[i] = static_cast<long>(currentPosition);
                display_stored_position();
                if (lastDirection)
                    directionFlags |= (1u << i);
                else
                    directionFlags &= ~(1u << i);
                write_focuser_file();
            } else {
                descriptionEditing = false;
            }
        }
        break;
    case 'n':
        if (AreYouSureDialog->tag == 1) {
            activeCommand = 0;
            if (confirmAnswer) restore_config_defaults();
        }
        break;
    case 'x':
        if (AreYouSureDialog->tag == 1) {
            activeCommand = 0;
            if (confirmAnswer == 1) {
                const int i = selectedSlot - 1;
                storedPositions[i] = -1;
                Pos[i]->setText(" ");
                Description[i]->setText(" ");
                write_focuser_file();
            }
        }
        break;
    case 'p':
        if (take_reply(false)) {
            if (reply.buffer[0] == 'p') {
                const unsigned pos = position_from_reply(reply.buffer);
                currentPosition = pos;
                const QString count = QString::fromStdString(format_fixed(pos, 5, 0));
                if (EncoderPosition->text() != count) EncoderPosition->setText(count);
                positionKnown = true;
                const long diff = static_cast<long>(pos) - static_cast<long>(previousPosition);
                if (diff > 1 || diff < -1) lastDirection = pos < previousPosition;
                previousPosition = pos;
                show_position();
            } else {
                PositionDisplay->clear();
                PositionDisplay->addItem("ERROR");
            }
            activeCommand = 0;
        }
        break;
    case 't':
        if (take_reply(true)) {
            if (reply.buffer[0] == 't') {
                QStringList lines;
                for (const std::string& l : status_lines(reply.buffer[1])) lines << QString::fromStdString(l);
                QStringList shown;
                for (int i = 0; i < StatusDisplay->count(); ++i) shown << StatusDisplay->item(i)->text();
                if (shown != lines) {
                    StatusDisplay->clear();
                    StatusDisplay->addItems(lines);
                }
            } else {
                activity("Focuser response error", "Waiting for command");
            }
            read_position();
        }
        break;
    case 'q':
        backlash_step();
        break;
    case 'v':
        if (GoToDialog->tag == 1) {
            activeCommand = 0;
            if (GoToDialog->okFlag && GoToDialog->enteredCount != static_cast<long>(currentPosition)) {
                set_command_argument(GoToDialog->enteredCount);
                go_to_position_command();
            }
        }
        break;
    default:
        // 'f' and 'r' are held by dialogs; the states of the sequences that are
        // not built yet are left alone.
        break;
    }
}
