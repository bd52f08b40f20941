#include "app/program_texts.h"

namespace corvell::app {

std::string settings_text(const CoreOptions& options) {
    std::string ports;
    for (int i = 0; i < 5; ++i) ports += "    COM" + std::to_string(i + 1) + ":  " + options.portMap.paths[i] + "\n";
    std::string text =
        "CONTROL MODULE SWITCHES\n"
        "The Control Module has three switches beside its serial connector.\n\n"
        "Switch 1 - Motor voltage.  Selects the voltage applied to the focuser motor.  Use the lower voltage for "
        "small, light focusers and the higher voltage for heavy loads or when the motor stalls.\n\n"
        "Switch 2 - Motor direction.  Reverses the direction in which the motor turns.  Set it so that \"Move In\" "
        "moves the drawtube inward and the Encoder Count falls while moving in.\n\n"
        "Switch 3 - Baud rate.  Selects 9600 or 2400 baud.  The Baud Rate setting on the Configure page must match "
        "this switch, or use \"COM Port AutoDetection\" to find it.  Turn the Control Module off and on again after "
        "changing a switch.\n\n"
        "PORT SETTINGS\n"
        "The Control Module uses 8 data bits, no parity, 1 stop bit and no flow control, at 9600 or 2400 baud.\n\n"
        "PORT MAP IN USE\n"
        "Each COM choice on the Configure page uses this device (set with --com1 .. --com5 or CORVELL_COM1 .. "
        "CORVELL_COM5):\n" +
        ports;
    if (!options.simulatorNote.empty()) text += "\n" + options.simulatorNote + "\n";
    text += "\nSettings and focuser profiles are kept in: " + options.dataDir + "\n";
    return text;
}

std::string help_text() {
    return "Tav Corvell version " CORVELL_VERSION
           ".  The command line is described by corvell-focuser --help and "
           "in the manual page (man corvell-focuser).\n\n"
           "GETTING STARTED\n"
           "1. Connect the Control Module to a serial port and turn it on.\n"
           "2. On the Configure page choose the COM port and baud rate, or press \"COM Port AutoDetection\".  "
           "\"Communicating\" appears when the module answers.\n"
           "3. Choose position units (inches or cm) on the Configure page.\n\n"
           "OPERATE PAGE\n"
           "Move In / Move Out start the motor; Stop halts it.\n"
           "Go To Specified Position asks for a position in the current units and drives the focuser there; the "
           "focuser cannot be sent beyond the Maximum Travel Stop.  While it moves, a window lets you terminate the "
           "move at the current position.\n"
           "Step In / Step Out move by the step increment.  Click the step box (or, from the keyboard, type a digit in "
           "it, or press Return, Space or F2 on it) to type a new increment (inches, or millimetres when the units "
           "are cm) and press Enter, or use the arrows beside it.\n"
           "Backlash Correction On makes a go-to of a stored position always finish moving in the direction in which "
           "the position was stored, by first overshooting by the correction distance.  Click the distance box (or "
           "type a digit in it) to type a new distance.\n"
           "The displays show the focuser position, the current activity, the module status and the Maximum Travel "
           "Stop.\n\n"
           "STORE/RECALL PAGE\n"
           "Store Position saves the current position in a slot and opens its description for typing (press Enter "
           "to keep it).  Go To returns to the stored position; Delete empties the slot.  Each focuser has twenty "
           "slots.\n\n"
           "CONFIGURE PAGE\n"
           "Set Focuser Zero Position makes the current position the zero of the position count.\n"
           "Restore Default File Settings rebuilds the program settings and the focuser list from the profile files "
           "on disk; focuser profiles are not deleted.\n\n"
           "THE BROWSER PAGE\n"
           "With the network server on (the Settings page; always on without a window), all of this window is a web "
           "page too, at http://<this computer>:<HTTP port>/setup (11111 unless changed), for a laptop or a phone at "
           "the telescope.  Its Theme choice gives a dark or a red night view.\n\n"
           "TROUBLESHOOTING\n"
           "\"Serial Communications Timeout\" and \"Not communicating\": check the cable, the power of the Control "
           "Module, the COM port and the baud rate.  The program keeps trying to reach the module every 1.5 "
           "seconds.\n"
           "\"Motor or Encoder Error\": check the focuser cable and retry the command.\n";
}

}  // namespace corvell::app
