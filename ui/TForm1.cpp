// Layout and construction of the main window.
#include "ui/TForm1.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/program_texts.h"
#include "network/alpaca_server.h"
#include "ui/AlpacaSettingsGroup.h"
#include "ui/Dialogs.h"
#include "ui/ElidedLabel.h"
#include "ui/RadioGroup.h"
#include "ui/UpDownControl.h"
#include "ui/description_text.h"

namespace {

// A page that scrolls when the window is smaller than the page needs (a
// small screen at a large scale). Its size hint is the room the page needs
// whole, so the window opens at that size where the screen has it.
class PageScroll : public QScrollArea {
public:
    explicit PageScroll(QWidget* parent) : QScrollArea(parent) {
        setWidgetResizable(true);
        setFrameShape(QFrame::NoFrame);
    }
    QSize sizeHint() const override { return widget() ? widget()->minimumSizeHint() : QScrollArea::sizeHint(); }
    QSize minimumSizeHint() const override { return QSize(120, 80); }
};

// The page's controls go into the returned widget, which scrolls within it.
QWidget* scrolled_page(QWidget* page) {
    auto* l = new QVBoxLayout(page);
    l->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new PageScroll(page);
    auto* content = new QWidget;
    content->setObjectName(page->objectName() + "Content");
    scroll->setWidget(content);
    l->addWidget(scroll);
    return content;
}

// Room kept free around the window on the screen for its frame and title bar.
constexpr int kFrameRoomWidth = 16, kFrameRoomHeight = 64;

template <class W>
W* named(W* w, const char* name) {
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

QPushButton* button(const char* name, const QString& caption, QWidget* parent) {
    return named(new QPushButton(caption, parent), name);
}

// A caption above a small list box of display lines.
QListWidget* display(const char* name, const QString& caption, int lines, QGridLayout* grid, int row, int col,
                     QWidget* parent) {
    auto* box = new QGroupBox(caption, parent);
    auto* l = new QVBoxLayout(box);
    l->setContentsMargins(4, 2, 4, 4);
    auto* list = named(new QListWidget(box), name);
    list->setFocusPolicy(Qt::NoFocus);
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setWordWrap(true);
    list->setFixedHeight(list->fontMetrics().height() * lines + 10);
    l->addWidget(list);
    grid->addWidget(box, row, col);
    return list;
}

}  // namespace

TForm1::TForm1(corvell::app::Core& core, QWidget* parent) : QMainWindow(parent), core_(core) {
    setObjectName("Form1");
    setWindowTitle("Tav Corvell");

    PageControl1 = named(new QTabWidget(this), "PageControl1");
    setCentralWidget(PageControl1);
    TabSheet1 = named(new QWidget, "TabSheet1");
    TabSheet3 = named(new QWidget, "TabSheet3");
    TabSheet2 = named(new QWidget, "TabSheet2");
    TabSheet4 = named(new QWidget, "TabSheet4");
    TabSheet7 = named(new QWidget, "TabSheet7");
    PageControl1->addTab(TabSheet1, "Operate");
    PageControl1->addTab(TabSheet3, "Store/Recall");
    PageControl1->addTab(TabSheet2, "Configure");
    PageControl1->addTab(TabSheet4, "Settings");
    PageControl1->addTab(TabSheet7, "Help");
    buildOperatePage();
    buildStorePage();
    buildConfigurePage();
    buildSettingsPage();
    buildHelpPage();

    AreYouSureDialog = new TAreYouSureDialog(this);
    GoToDialog = new TGoToDialog(this);
    StopGoToDialog = new TStopGoToDialog(this);
    StopGoToDialog->keepInView({StopButton, StepInButton, StepOutButton, StepEdit, ActivityDisplay});
    TextEntryDialog = new TTextEntryDialog(this);
    StopInitDialog = new TStopInitDialog(this);
    AutoDetectDialog = new TAutoDetectDialog(this);
    SetupDialog = new TSetupDialog(this);
    // The network server's group, below the Settings text.
    AlpacaGroup = new AlpacaSettingsGroup(core_.alpacaServer(), TabSheet4);
    SettingsText->parentWidget()->layout()->addWidget(AlpacaGroup);
    wire();

    // Construction: the size the pages need, as far as the screen has room
    // for it with the window's frame (the pages scroll in what is left);
    // centred; Operate page.
    QSize size(504, 470);
    size = size.expandedTo(sizeHint());
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect s = screen->availableGeometry();
        size = size.boundedTo(s.size() - QSize(kFrameRoomWidth, kFrameRoomHeight));
        resize(size);
        move(s.x() + (s.width() - width()) / 2, s.y() + (s.height() - height()) / 2);
    } else {
        resize(size);
    }
    PageControl1->setCurrentWidget(TabSheet1);
    // What the engine shows already (the core may have started before the
    // window was made).
    render(core_.screen(), corvell::kAllParts);
}

void TForm1::wire() {
    connect(&core_, &corvell::app::Core::rendered, this, [this](unsigned changed) { render(core_.screen(), changed); });
    connect(&core_, &corvell::app::Core::invalidNumber, this, &TForm1::warnInvalidNumber);
    // The start-up runs at the first activation.
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive) ExecutiveActivate();
    });

    // Operate
    connect(StopButton, &QPushButton::clicked, this, [this] { StopButtonClick(); });
    connect(MoveInButton, &QPushButton::clicked, this, [this] { MoveInButtonClick(); });
    connect(MoveOutButton, &QPushButton::clicked, this, [this] { MoveOutButtonClick(); });
    connect(GoToPosButton, &QPushButton::clicked, this, [this] { GoToPosButtonClick(); });
    connect(StepInButton, &QPushButton::clicked, this, [this] { StepInButtonClick(); });
    connect(StepOutButton, &QPushButton::clicked, this, [this] { StepOutButtonClick(); });
    connect(StepUpDown, &UpDownControl::changing, this, [this](int d) { StepUpDownChangingEx(d); });
    connect(BacklashEnable, &RadioGroup::clicked, this, [this] { BacklashEnableClick(); });
    StepEdit->installEventFilter(this);
    BacklashEdit->installEventFilter(this);

    // Store/Recall
    for (int i = 0; i < corvell::kStoredSlots; ++i) {
        const int n = i + 1;
        connect(Store[i], &QPushButton::clicked, this, [this, n] { StoreNClick(n); });
        connect(GoTo[i], &QPushButton::clicked, this, [this, n] { GoToNClick(n); });
        connect(Delete[i], &QPushButton::clicked, this, [this, n] { DeleteNClick(n); });
        connect(Description[i], &QLineEdit::returnPressed, this, [this, n] {
            if (!Description[n - 1]->isReadOnly()) save_position_N(n);
        });
        Description[i]->installEventFilter(this);
    }

    // Configure
    connect(SetZeroPosition, &QPushButton::clicked, this, [this] { SetZeroButtonClick(); });
    connect(AddFocuser, &QPushButton::clicked, this, [this] { AddFocuserClick(); });
    connect(DeleteFocuser, &QPushButton::clicked, this, [this] { DeleteFocuserClick(); });
    connect(ChangeDescription, &QPushButton::clicked, this, [this] { ChangeDescriptionClick(); });
    connect(ManualSetupButton, &QPushButton::clicked, this, [this] { ManualSetupButtonClick(); });
    connect(SetEncoder, &QPushButton::clicked, this, [this] { SetEncoderClick(); });
    connect(SetMaxTravel, &QPushButton::clicked, this, [this] { SetMaxTravelClick(); });
    connect(MaxTravelOverride, &QPushButton::clicked, this, [this] { MaxTravelOverrideClick(); });
    // A row chosen with the mouse or the keyboard; a choice refused is
    // unmarked once the list has handled the click.
    connect(FocuserList, &QListWidget::currentRowChanged, this, [this] {
        if (rendering_) return;
        FocuserListClick();
        QMetaObject::invokeMethod(
            this, [this] { mark_focuser_in_use(); }, Qt::QueuedConnection);
    });
    connect(RestoreDefaults, &QPushButton::clicked, this, [this] { RestoreDefaultsClick(); });
    connect(Units, &RadioGroup::clicked, this, [this] { UnitsClick(); });
    connect(ComPortSelect, &RadioGroup::clicked, this, [this] { ComPortSelectClick(); });
    connect(BaudRateSelect, &RadioGroup::clicked, this, [this] { BaudRateSelectClick(); });
    // Clicking the choice already made opens the port again (an adapter
    // plugged back in, for one).
    connect(ComPortSelect, &RadioGroup::reclicked, this, [this] { ComPortSelectClick(); });
    connect(BaudRateSelect, &RadioGroup::reclicked, this, [this] { BaudRateSelectClick(); });
    connect(AutoDetect, &QPushButton::clicked, this, [this] { AutoDetectClick(); });
    connect(ReinitializeFocuser, &QPushButton::clicked, this, [this] { ReinitializeClick(); });

    // The dialogs' answers, each naming the question, entry or page it answers.
    corvell::Engine* e = &core_.engine();
    connect(AreYouSureDialog, &TAreYouSureDialog::answered, this,
            [e](int id, bool yes) { e->question_answered(id, yes); });
    connect(AreYouSureDialog, &TAreYouSureDialog::closed, this, [e](int id) { e->question_closed(id); });
    connect(GoToDialog, &TGoToDialog::confirmed, this,
            [e](int id, const QString& text, bool edited) { e->entry_confirmed(id, text.toStdString(), edited); });
    connect(GoToDialog, &TGoToDialog::cancelled, this, [e](int id) { e->entry_cancelled(id); });
    connect(StopGoToDialog, &TStopGoToDialog::stopPressed, this, [e] { e->stop_go_to_pressed(); });
    connect(StopInitDialog, &TStopInitDialog::stopPressed, this, [e] { e->StopReinitClick(); });
    connect(AutoDetectDialog, &TAutoDetectDialog::acknowledged, this, [e](int id) { e->AutoDetectOKClick(id); });
    connect(TextEntryDialog, &TTextEntryDialog::entered, this,
            [e](int id, const QString& text) { e->text_entered(id, typed_text(text)); });
    connect(TextEntryDialog, &TTextEntryDialog::cancelled, this, [e](int id) { e->text_entry_cancelled(id); });
    connect(SetupDialog, &TSetupDialog::okPressed, this,
            [e](int id, const QString& description, const QString& maximum) {
                e->setup_ok(id, typed_text(description), maximum.toStdString());
            });
    connect(SetupDialog, &TSetupDialog::cancelled, this, [e](int id) { e->setup_cancelled(id); });
    connect(SetupDialog, &TSetupDialog::backPressed, this, [e](int id) { e->setup_back(id); });
    connect(SetupDialog, &TSetupDialog::chosen, this, [e](int id, int index) { e->setup_choice(id, index); });
    connect(SetupDialog, &TSetupDialog::descriptionEntered, this,
            [e](int id, const QString& text) { e->setup_description_entered(id, typed_text(text)); });
    connect(SetupDialog, &TSetupDialog::maximumTyped, this, [e](int id) { e->setup_maximum_typed(id); });
    connect(SetupDialog, &TSetupDialog::descriptionTyped, this, [e](int id) { e->setup_description_typed(id); });
    connect(SetupDialog, &TSetupDialog::maximumEntered, this,
            [e](int id, const QString& text) { e->setup_maximum_entered(id, text.toStdString()); });
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // When the application is already active (a window shown later in the
    // run), no activation arrives: start up from the event loop instead.
    if (!engine().started() && QGuiApplication::applicationState() == Qt::ApplicationActive)
        QMetaObject::invokeMethod(
            this, [this] { ExecutiveActivate(); }, Qt::QueuedConnection);
}

// The window never stays smaller than the size at which every control is
// whole: a window manager keeps to the minimum the window asks for, but
// without one (or with one that ignores it) the window takes it back itself.
void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    const QSize least = minimumSize().expandedTo(minimumSizeHint());
    if (width() < least.width() || height() < least.height()) {
        QMetaObject::invokeMethod(
            this, [this, least] { resize(size().expandedTo(least)); }, Qt::QueuedConnection);
    }
}

// The group goes first, so that nothing it does on its way out reaches the
// server; the core, which outlives the window, keeps the port.
TForm1::~TForm1() { delete AlpacaGroup; }

void TForm1::UnitsClick() {
    if (!rendering_) engine().UnitsClick(Units->itemIndex());
}
void TForm1::ComPortSelectClick() {
    if (!rendering_) engine().ComPortSelectClick(ComPortSelect->itemIndex());
}
void TForm1::BaudRateSelectClick() {
    if (!rendering_) engine().BaudRateSelectClick(BaudRateSelect->itemIndex());
}
void TForm1::FocuserListClick() {
    if (!rendering_) engine().FocuserListClick(FocuserList->currentRow());
}
void TForm1::BacklashEnableClick() {
    if (!rendering_) engine().BacklashEnableClick(BacklashEnable->itemIndex());
}
void TForm1::save_position_N(int n) {
    const QString text = Description[n - 1]->text();
    // The validator keeps such characters out of the box; a text that holds
    // one anyway stays open rather than being saved altered.
    if (const auto c = first_unstorable(text)) {
        show_refusal(DescriptionHint, *c);
        return;
    }
    engine().save_position_N(n, typed_text(text));
}

void TForm1::buildOperatePage() {
    auto* grid = new QGridLayout(scrolled_page(TabSheet1));
    grid->setColumnStretch(0, 2);
    grid->setColumnStretch(1, 3);

    auto* left = new QVBoxLayout;
    StopButton = button("StopButton", "&Stop", TabSheet1);
    MoveInButton = button("MoveInButton", "Move &In", TabSheet1);
    MoveOutButton = button("MoveOutButton", "Move &Out", TabSheet1);
    GoToPosButton = button("GoToPosButton", "&Go To Specified Position", TabSheet1);
    for (QPushButton* b : {StopButton, MoveInButton, MoveOutButton, GoToPosButton}) left->addWidget(b);
    StopButton->setDefault(true);

    auto* stepBox = new QGroupBox("Step Increment", TabSheet1);
    auto* stepGrid = new QGridLayout(stepBox);
    StepInButton = button("StepInButton", "Step I&n", stepBox);
    StepOutButton = button("StepOutButton", "Step Ou&t", stepBox);
    StepEdit = named(new QLineEdit(stepBox), "StepEdit");
    StepEdit->setReadOnly(true);
    StepEdit->setAlignment(Qt::AlignRight);
    StepEdit->setFixedWidth(StepEdit->fontMetrics().horizontalAdvance("00.000mm") + 12);
    StepUpDown = named(new UpDownControl(stepBox), "StepUpDown");
    auto* stepEditRow = new QHBoxLayout;
    stepEditRow->setSpacing(1);
    stepEditRow->addWidget(StepEdit);
    stepEditRow->addWidget(StepUpDown);
    stepEditRow->addStretch();
    stepGrid->addWidget(StepInButton, 0, 0);
    stepGrid->addWidget(StepOutButton, 0, 1);
    stepGrid->addLayout(stepEditRow, 1, 0, 1, 2);
    left->addWidget(stepBox);

    BacklashEnable =
        named(new RadioGroup("Backlash Correction", {"Off", "On"}, TabSheet1, Qt::Horizontal), "BacklashEnable");
    BacklashEnable->setItemIndex(1);
    auto* blLayout = qobject_cast<QBoxLayout*>(BacklashEnable->layout());
    BacklashAdjust = named(new QLabel("Backlash Correction Distance", TabSheet1), "BacklashAdjust");
    BacklashEdit = named(new QLineEdit(TabSheet1), "BacklashEdit");
    BacklashEdit->setReadOnly(true);
    BacklashEdit->setAlignment(Qt::AlignRight);
    BacklashEdit->setFixedWidth(StepEdit->width());
    auto* blBox = new QGroupBox(TabSheet1);
    auto* blv = new QVBoxLayout(blBox);
    blv->setContentsMargins(0, 0, 0, 0);
    blv->addWidget(BacklashEnable);
    blv->addWidget(BacklashAdjust);
    auto* blRow = new QHBoxLayout;
    blRow->addWidget(BacklashEdit);
    blRow->addStretch();
    blv->addLayout(blRow);
    blBox->setFlat(true);
    (void)blLayout;
    left->addWidget(blBox);
    left->addStretch();
    grid->addLayout(left, 0, 0);

    auto* right = new QGridLayout;
    // A long description is cut to the room there is, never widening the window.
    FocuserType = named(new ElidedLabel(" ", TabSheet1), "FocuserType");
    FocuserType->setAlignment(Qt::AlignCenter);
    QFont f = FocuserType->font();
    f.setBold(true);
    FocuserType->setFont(f);
    right->addWidget(FocuserType, 0, 0);
    PositionDisplay = display("PositionDisplay", "Focuser Position", 1, right, 1, 0, TabSheet1);
    QFont big = PositionDisplay->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    PositionDisplay->setFont(big);
    PositionDisplay->setFixedHeight(QFontMetrics(big).height() + 12);
    ActivityDisplay = display("ActivityDisplay", "Activity", 3, right, 2, 0, TabSheet1);
    StatusDisplay = display("StatusDisplay", "Status", 5, right, 3, 0, TabSheet1);
    MaxTravelDisplay = display("MaxTravelDisplay", "Maximum Travel Stop", 1, right, 4, 0, TabSheet1);
    right->setRowStretch(5, 1);
    grid->addLayout(right, 0, 1);
}

void TForm1::buildStorePage() {
    auto* outer = new QVBoxLayout(TabSheet3);
    outer->setContentsMargins(2, 2, 2, 2);
    auto* scroll = new QScrollArea(TabSheet3);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* inner = new QWidget;
    auto* grid = new QGridLayout(inner);
    grid->setVerticalSpacing(2);
    grid->addWidget(new QLabel("<b>Position</b>"), 0, 1);
    grid->addWidget(new QLabel("<b>Description</b>"), 0, 2);
    for (int i = 0; i < corvell::kStoredSlots; ++i) {
        const int n = i + 1;
        const QString num = QString::number(n);
        auto* label = new QLabel(num + ".", inner);
        Store[i] = new QPushButton("Store Position", inner);
        Store[i]->setObjectName("Store" + num);
        Pos[i] = new QLabel(" ", inner);
        Pos[i]->setObjectName("Pos" + num);
        Pos[i]->setMinimumWidth(Pos[i]->fontMetrics().horizontalAdvance("00.000cm") + 6);
        Pos[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        Description[i] = new QLineEdit(" ", inner);
        Description[i]->setObjectName("Description" + num);
        Description[i]->setMaxLength(static_cast<int>(corvell::kDescriptionLimit));
        Description[i]->setReadOnly(true);
        Description[i]->setMinimumWidth(Description[i]->fontMetrics().horizontalAdvance("M") * 8);
        GoTo[i] = new QPushButton("Go To", inner);
        GoTo[i]->setObjectName("GoTo" + num);
        GoTo[i]->setToolTip("Go to the stored position (greyed while the slot is empty)");
        Delete[i] = new QPushButton("Delete", inner);
        Delete[i]->setObjectName("Delete" + num);
        Delete[i]->setToolTip("Empty the slot (greyed while it is empty)");
        for (QPushButton* b : {GoTo[i], Delete[i]})
            b->setFixedWidth(b->fontMetrics().horizontalAdvance(b->text()) + 24);
        grid->addWidget(label, n, 0);
        grid->addWidget(Pos[i], n, 1);
        grid->addWidget(Description[i], n, 2);
        grid->addWidget(Store[i], n, 3);
        grid->addWidget(GoTo[i], n, 4);
        grid->addWidget(Delete[i], n, 5);
        Pos[i]->setTextFormat(Qt::PlainText);
    }
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(corvell::kStoredSlots + 1, 1);
    scroll->setWidget(inner);
    outer->addWidget(scroll);
    // Below the rows, so it is in view whichever row is being typed in.
    DescriptionHint = make_refusal_hint("DescriptionHint", TabSheet3);
    outer->addWidget(DescriptionHint);
    StoreRefusal = make_refusal_hint("StoreRefusal", TabSheet3);
    outer->addWidget(StoreRefusal);
    for (QLineEdit* d : Description) refuse_unstorable(d, DescriptionHint);
}

void TForm1::buildConfigurePage() {
    auto* grid = new QGridLayout(scrolled_page(TabSheet2));

    auto* listBox = new QGroupBox("Focuser List", TabSheet2);
    auto* lv = new QVBoxLayout(listBox);
    FocuserList = named(new QListWidget(listBox), "FocuserList");
    FocuserList->setMinimumHeight(FocuserList->fontMetrics().height() * 5);
    // A long description is cut with an ellipsis, never widening the page.
    FocuserList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    FocuserList->setTextElideMode(Qt::ElideRight);
    FocuserList->setUniformItemSizes(true);
    FocuserFiles = named(new QListWidget(listBox), "FocuserFiles");
    FocuserFiles->hide();
    lv->addWidget(FocuserList);
    // A click of the page refused, and why: under the list, beside the
    // buttons, in room the list gives up.
    ConfigureRefusal = make_refusal_hint("ConfigureRefusal", listBox);
    lv->addWidget(ConfigureRefusal);
    grid->addWidget(listBox, 0, 0, 2, 1);
    // A taller window gives the list more rows: the height the buttons
    // beside it do not need goes to it.
    grid->setRowStretch(1, 1);

    auto* buttons = new QVBoxLayout;
    AddFocuser = button("AddFocuser", "Add &New Focuser to List", TabSheet2);
    DeleteFocuser = button("DeleteFocuser", "De&lete Focuser from List", TabSheet2);
    ChangeDescription = button("ChangeDescription", "Ch&ange Focuser Description", TabSheet2);
    ManualSetupButton = button("ManualSetupButton", "Run Focuser &Manual Setup", TabSheet2);
    SetEncoder = button("SetEncoder", "Change &Encoder Count Value", TabSheet2);
    SetMaxTravel = button("SetMaxTravel", "Change Maximum Travel &Count", TabSheet2);
    MaxTravelOverride = button("MaxTravelOverride", "Change Maximum Travel &Distance", TabSheet2);
    SetZeroPosition = button("SetZeroPosition", "Set Focuser &Zero Position", TabSheet2);
    ReinitializeFocuser = button("ReinitializeFocuser", "&Initialize the Focuser", TabSheet2);
    RestoreDefaults = button("RestoreDefaults", "Restore Default &File Settings", TabSheet2);
    const std::pair<QPushButton*, const char*> tips[] = {
        {AddFocuser,
         "Set up a new focuser (by model, by its parameters, or measured with the module's buttons) and "
         "add it to the list"},
        {DeleteFocuser, "Remove the selected focuser from the list; its profile goes to the trash"},
        {ChangeDescription, "Rename the selected focuser"},
        {ManualSetupButton,
         "Measure the selected focuser's scale and travel again with the module's In and Out "
         "buttons"},
        {SetEncoder, "Type the encoder counts per unit of travel (takes effect at the next initialization)"},
        {SetMaxTravel, "Type the maximum travel as an encoder count; it is sent to the module at once"},
        {MaxTravelOverride, "Type the maximum travel as a distance in the position units"},
        {SetZeroPosition, "Make the focuser's current position the zero of the count"},
        {ReinitializeFocuser, "Write the speed settings into the module and move the focuser to its zero position"},
        {RestoreDefaults, "Rebuild the program settings and the focuser list from the profiles on disk"},
    };
    for (const auto& [b, tip] : tips) {
        b->setToolTip(tip);
        buttons->addWidget(b);
    }
    buttons->addStretch();
    grid->addLayout(buttons, 0, 1, 2, 1);

    auto* info = new QGridLayout;
    info->addWidget(new QLabel("Encoder Count:", TabSheet2), 0, 0);
    EncoderPosition = named(new QLabel("Unknown", TabSheet2), "EncoderPosition");
    info->addWidget(EncoderPosition, 0, 1);
    EncoderLines = named(new QLabel("Encoder Counts per inch:", TabSheet2), "EncoderLines");
    EncoderStep = named(new QLabel(" ", TabSheet2), "EncoderStep");
    info->addWidget(EncoderLines, 1, 0);
    info->addWidget(EncoderStep, 1, 1);
    info->addWidget(new QLabel("Maximum Travel Count:", TabSheet2), 2, 0);
    MaxTravelStop = named(new QLabel(" ", TabSheet2), "MaxTravelStop");
    info->addWidget(MaxTravelStop, 2, 1);
    ReinitText = named(new QLabel("You must initialize the focuser for the new settings to take effect.", TabSheet2),
                       "ReinitText");
    ReinitText->setWordWrap(true);
    ReinitText->setStyleSheet("color: #a00000;");
    // Its room is kept while it is hidden, so that the button and the
    // connection line below it stay where they are when it shows.
    QSizePolicy keepRoom = ReinitText->sizePolicy();
    keepRoom.setRetainSizeWhenHidden(true);
    ReinitText->setSizePolicy(keepRoom);
    ReinitText->hide();
    info->addWidget(ReinitText, 3, 0, 1, 2);
    info->setColumnStretch(1, 1);
    grid->addLayout(info, 2, 0);

    auto* radios = new QHBoxLayout;
    Units = named(new RadioGroup("Position Units", {"inches", "cm"}, TabSheet2), "Units");
    ComPortSelect =
        named(new RadioGroup("COM Port", {"COM1:", "COM2:", "COM3:", "COM4:", "COM5:"}, TabSheet2), "ComPortSelect");
    BaudRateSelect = named(new RadioGroup("Baud Rate", {"9600", "2400"}, TabSheet2), "BaudRateSelect");
    for (RadioGroup* g : {Units, ComPortSelect, BaudRateSelect}) g->setItemIndex(0);
    auto* radioCol = new QVBoxLayout;
    radioCol->addWidget(Units);
    radioCol->addWidget(BaudRateSelect);
    radioCol->addStretch();
    radios->addLayout(radioCol);
    radios->addWidget(ComPortSelect, 0, Qt::AlignTop);
    grid->addLayout(radios, 2, 1, 2, 1);

    auto* conn = new QVBoxLayout;
    AutoDetect = button("AutoDetect", "C&OM Port AutoDetection", TabSheet2);
    AutoDetect->setToolTip("Try every port at both speeds and keep the one where the module answers");
    AutoDetectText = named(new QLabel("Auto Detection In Progress:Please Wait", TabSheet2), "AutoDetectText");
    AutoDetectText->hide();
    Connection = named(new QLabel("Not communicating", TabSheet2), "Connection");
    Connection->setTextFormat(Qt::PlainText);
    // A port that will not open is named with its device and the reason.
    Connection->setWordWrap(true);
    QFont bold = Connection->font();
    bold.setBold(true);
    Connection->setFont(bold);
    conn->addWidget(AutoDetect);
    conn->addWidget(AutoDetectText);
    conn->addWidget(Connection);
    conn->addStretch();
    grid->addLayout(conn, 3, 0);
}

void TForm1::buildSettingsPage() {
    auto* l = new QVBoxLayout(scrolled_page(TabSheet4));
    SettingsText = named(new QPlainTextEdit(TabSheet4), "SettingsText");
    SettingsText->setReadOnly(true);
    SettingsText->setPlainText(QString::fromStdString(corvell::app::settings_text(core_.options())));
    l->addWidget(SettingsText);
}

void TForm1::buildHelpPage() {
    auto* l = new QVBoxLayout(TabSheet7);
    HelpText = named(new QPlainTextEdit(TabSheet7), "HelpText");
    HelpText->setReadOnly(true);
    HelpText->setPlainText(QString::fromStdString(corvell::app::help_text()));
    l->addWidget(HelpText);
}
