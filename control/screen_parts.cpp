#include "control/screen_parts.h"

namespace corvell {

void copy_parts(Screen& to, const Screen& from, unsigned parts) {
    if (parts & kActivity) to.activity = from.activity;
    if (parts & kStatus) to.status = from.status;
    if (parts & kPosition) to.position = from.position;
    if (parts & kConnection) to.connection = from.connection;
    if (parts & kEncoderPosition) to.encoderPosition = from.encoderPosition;
    if (parts & kSettingsTexts) {
        to.encoderLines = from.encoderLines;
        to.encoderStep = from.encoderStep;
        to.maxTravelStop = from.maxTravelStop;
        to.maxTravel = from.maxTravel;
        to.stepText = from.stepText;
        to.backlashText = from.backlashText;
    }
    if (parts & kStoredSlotsPart) {
        to.posText = from.posText;
        to.slotStored = from.slotStored;
        to.descriptions = from.descriptions;
        to.descriptionOpen = from.descriptionOpen;
        to.descriptionFocus = from.descriptionFocus;
    }
    if (parts & kFocuserType) to.focuserType = from.focuserType;
    if (parts & kFocuserList) {
        to.focuserList = from.focuserList;
        to.focuserFiles = from.focuserFiles;
        to.focuserRow = from.focuserRow;
        to.noFocuser = from.noFocuser;
    }
    if (parts & kChoices) {
        to.unitsIndex = from.unitsIndex;
        to.portIndex = from.portIndex;
        to.baudIndex = from.baudIndex;
        to.backlashIndex = from.backlashIndex;
        to.backlashEditEnabled = from.backlashEditEnabled;
    }
    if (parts & kNotes) {
        to.reinitTextVisible = from.reinitTextVisible;
        to.autoDetectTextVisible = from.autoDetectTextVisible;
    }
    if (parts & kQuestion) to.question = from.question;
    if (parts & kEntry) to.entry = from.entry;
    if (parts & kStopGoTo) to.stopGoToVisible = from.stopGoToVisible;
    if (parts & kOperatePage) to.operatePage = from.operatePage;
    if (parts & kStopInit) to.stopInitVisible = from.stopInitVisible;
    if (parts & kAutoDetect) to.autoDetect = from.autoDetect;
    if (parts & kTextEntry) to.textEntry = from.textEntry;
    if (parts & kSetup) to.setup = from.setup;
    if (parts & kRefusal) to.refusal = from.refusal;
}

bool same_part(const Screen& a, const Screen& b, unsigned part) {
    switch (part) {
    case kActivity: return a.activity == b.activity;
    case kStatus: return a.status == b.status;
    case kPosition: return a.position == b.position;
    case kConnection: return a.connection == b.connection;
    case kEncoderPosition: return a.encoderPosition == b.encoderPosition;
    case kSettingsTexts:
        return a.encoderLines == b.encoderLines && a.encoderStep == b.encoderStep &&
               a.maxTravelStop == b.maxTravelStop && a.maxTravel == b.maxTravel && a.stepText == b.stepText &&
               a.backlashText == b.backlashText;
    case kStoredSlotsPart:
        return a.posText == b.posText && a.slotStored == b.slotStored && a.descriptions == b.descriptions &&
               a.descriptionOpen == b.descriptionOpen && a.descriptionFocus == b.descriptionFocus;
    case kFocuserType: return a.focuserType == b.focuserType;
    case kFocuserList:
        return a.focuserList == b.focuserList && a.focuserFiles == b.focuserFiles && a.focuserRow == b.focuserRow &&
               a.noFocuser == b.noFocuser;
    case kChoices:
        return a.unitsIndex == b.unitsIndex && a.portIndex == b.portIndex && a.baudIndex == b.baudIndex &&
               a.backlashIndex == b.backlashIndex && a.backlashEditEnabled == b.backlashEditEnabled;
    case kNotes:
        return a.reinitTextVisible == b.reinitTextVisible && a.autoDetectTextVisible == b.autoDetectTextVisible;
    case kQuestion:
        return a.question.visible == b.question.visible && a.question.id == b.question.id &&
               a.question.text == b.question.text && a.question.yesCaption == b.question.yesCaption &&
               a.question.noCaption == b.question.noCaption;
    case kEntry:
        return a.entry.visible == b.entry.visible && a.entry.id == b.entry.id && a.entry.label == b.entry.label &&
               a.entry.caption == b.entry.caption && a.entry.preset == b.entry.preset &&
               a.entry.refill == b.entry.refill && a.entry.unit == b.entry.unit;
    case kStopGoTo: return a.stopGoToVisible == b.stopGoToVisible;
    case kOperatePage: return a.operatePage == b.operatePage;
    case kStopInit: return a.stopInitVisible == b.stopInitVisible;
    case kAutoDetect:
        return a.autoDetect.visible == b.autoDetect.visible && a.autoDetect.id == b.autoDetect.id &&
               a.autoDetect.message == b.autoDetect.message;
    case kTextEntry:
        return a.textEntry.visible == b.textEntry.visible && a.textEntry.id == b.textEntry.id &&
               a.textEntry.text == b.textEntry.text && a.textEntry.refusal == b.textEntry.refusal;
    case kSetup: {
        const SetupScreen &x = a.setup, &y = b.setup;
        return x.visible == y.visible && x.id == y.id && x.caption == y.caption && x.text1 == y.text1 &&
               x.text2 == y.text2 && x.showPosition == y.showPosition && x.position == y.position &&
               x.showDescription == y.showDescription && x.description == y.description &&
               x.descriptionRefill == y.descriptionRefill && x.entryLabel == y.entryLabel &&
               x.showMaximum == y.showMaximum && x.maximum == y.maximum && x.maximumRefill == y.maximumRefill &&
               x.choices == y.choices && x.choice == y.choice && x.showOk == y.showOk && x.okEnabled == y.okEnabled &&
               x.okCaption == y.okCaption && x.showCancel == y.showCancel && x.cancelCaption == y.cancelCaption &&
               x.defaultButton == y.defaultButton && x.focus == y.focus && x.focusCount == y.focusCount &&
               x.refusal == y.refusal;
    }
    case kRefusal: return a.refusal.place == b.refusal.place && a.refusal.lines == b.refusal.lines;
    default: return true;
    }
}

unsigned differing_parts(const Screen& a, const Screen& b) {
    unsigned differ = 0;
    for (unsigned part = 1; part & kAllParts; part <<= 1)
        if (!same_part(a, b, part)) differ |= part;
    return differ;
}

}  // namespace corvell
