#include "mainlayout.h"

#include "categorypanel.h"
#include "colorvalue.h"
#include "gradpan.h"
#include "padboard.h"

#include <QAction>
#include <QFrame>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QMainWindow>
#include <QPixmap>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

namespace {

constexpr int kSidePanelWidth = 209;
constexpr int kBottomBarHeight = 31;
constexpr int kStatusBarHeight = 19;
constexpr int kColumnWidth = 200;
constexpr int kColumnButtonWidth = 196;
constexpr int kColumnButtonHeight = 40;
constexpr int kSystemPanelHeight = 384;

QFont meiryo(int pixelSize, bool bold) {
    QFont font(QStringLiteral("メイリオ"));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

QLabel* whiteLabel(QWidget* parent, const char* name, const QString& text, QRect geometry,
                   int pixelSize, bool bold, bool centredVertically) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setGeometry(geometry);
    label->setFont(meiryo(pixelSize, bold));
    label->setStyleSheet(QStringLiteral("color: white; background: transparent;"));
    label->setAlignment(Qt::AlignLeft | (centredVertically ? Qt::AlignVCenter : Qt::AlignTop));
    return label;
}

QPushButton* columnButton(QWidget* parent, const QString& name, const QString& caption, int index) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setGeometry(0, index * kColumnButtonHeight, kColumnButtonWidth, kColumnButtonHeight);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

void buildSidePanel(MainLayout& ui, QWidget* client) {
    ui.GradPan9 = new TGradPan(client);
    ui.GradPan9->setObjectName(QStringLiteral("GradPan9"));
    ui.GradPan9->setFixedWidth(kSidePanelWidth);
    ui.GradPan9->setBevelOuter(TGradPan::bvNone);
    ui.GradPan9->setCaption(QString());
    ui.GradPan9->setMoveable(false);
    ui.GradPan9->setColor(11776947);
    ui.GradPan9->setColorShadow(11776947);
    ui.GradPan9->setColorEnd(12615808);
    ui.GradPan9->setColorStart(0);
    ui.GradPan9->setBackGroundEffect(TGradPan::bdDown);
    const QImage bitmap(QStringLiteral(":/sidepanel.bmp"));
    if (!bitmap.isNull())
        ui.GradPan9->Bitmap()->assign(bitmap);

    ui.Image33 = new QLabel(ui.GradPan9);
    ui.Image33->setObjectName(QStringLiteral("Image33"));
    ui.Image33->setGeometry(56, 21, 70, 70);
    ui.Image33->setScaledContents(true);
    ui.Image33->setPixmap(QPixmap(QStringLiteral(":/logo.png")));
    ui.Image33->setStyleSheet(QStringLiteral("background: transparent;"));

    ui.Ver3 = whiteLabel(ui.GradPan9, "Ver3", QStringLiteral("Version 20180802A"),
                         QRect(28, 97, 150, 22), 13, true, true);
    ui.Label1 = whiteLabel(ui.GradPan9, "Label1", QStringLiteral("CUEDECK"),
                           QRect(13, 125, 259, 32), 19, true, false);
    ui.Label14 = whiteLabel(ui.GradPan9, "Label14", QStringLiteral("cuedeck プロジェクト"),
                            QRect(13, 158, 192, 22), 13, false, true);
    ui.Label12 =
        whiteLabel(ui.GradPan9, "Label12", QString(), QRect(76, 5, 259, 32), 19, true, false);
}

void buildColumn(MainLayout& ui) {
    ui.SplitView1 = new QWidget(ui.Panel1);
    ui.SplitView1->setObjectName(QStringLiteral("SplitView1"));
    ui.SplitView1->setFixedWidth(kColumnWidth);
    auto* columnLayout = new QVBoxLayout(ui.SplitView1);
    columnLayout->setContentsMargins(0, 0, 0, 0);

    ui.CategoryPanelGroup1 = new CategoryPanelGroup(ui.SplitView1);
    ui.CategoryPanelGroup1->setObjectName(QStringLiteral("CategoryPanelGroup1"));
    columnLayout->addWidget(ui.CategoryPanelGroup1);

    ui.CategoryPanel1 = new CategoryPanel(QStringLiteral("セットリスト"), 429);
    ui.CategoryPanel1->setObjectName(QStringLiteral("CategoryPanel1"));
    for (int k = 1; k <= MainLayout::kSlots; ++k) {
        QPushButton* button =
            columnButton(ui.CategoryPanel1->content(), QStringLiteral("setlist%1").arg(k),
                         QStringLiteral("SET LIST%1").arg(k), k - 1);
        button->setProperty("tag", k);
        ui.setlist[k - 1] = button;
    }
    ui.CategoryPanelGroup1->addPanel(ui.CategoryPanel1);

    // The system section holds the seven system commands and, below them, the settings and
    // stop-all buttons: 24 + 9 x 40 pixels, so that with the set list section above it every
    // button of the column is in view at design size (849 pixels) without scrolling.
    ui.CategoryPanel3 = new CategoryPanel(QStringLiteral("システム"), kSystemPanelHeight);
    ui.CategoryPanel3->setObjectName(QStringLiteral("CategoryPanel3"));
    QWidget* system = ui.CategoryPanel3->content();
    ui.Button11 =
        columnButton(system, QStringLiteral("Button11"), QStringLiteral("ヘルプ(取扱説明書)"), 0);
    ui.Button22 =
        columnButton(system, QStringLiteral("Button22"), QStringLiteral("セットリスト保存"), 1);
    ui.Button10 =
        columnButton(system, QStringLiteral("Button10"), QStringLiteral("セットリストコピー"), 2);
    ui.Button16 =
        columnButton(system, QStringLiteral("Button16"), QStringLiteral("セットリストペースト"), 3);
    ui.Button21 =
        columnButton(system, QStringLiteral("Button21"), QStringLiteral("ファイル読込"), 4);
    ui.Button2 = columnButton(system, QStringLiteral("Button2"), QStringLiteral("ファイル保存"), 5);

    // The exit command is an action, so the button, its caption and its hint come from it.
    ui.FileExit1 = new QAction(QStringLiteral("終了(&X)"), ui.Panel1->window());
    ui.FileExit1->setObjectName(QStringLiteral("FileExit1"));
    ui.FileExit1->setToolTip(QStringLiteral("終了"));
    ui.FileExit1->setStatusTip(QStringLiteral("アプリケーションを終了します"));
    ui.Button13 = columnButton(system, QStringLiteral("Button13"), ui.FileExit1->text(), 6);
    ui.Button13->setToolTip(ui.FileExit1->toolTip());
    ui.Button13->setStatusTip(ui.FileExit1->statusTip());
    QObject::connect(ui.Button13, &QPushButton::clicked, ui.FileExit1, &QAction::trigger);

    ui.ButtonSettings =
        columnButton(system, QStringLiteral("ButtonSettings"), QStringLiteral("設定…"), 7);
    ui.ButtonSettings->setToolTip(QStringLiteral("出力デバイス、MIDI、OSC の設定"));
    ui.ButtonStopAll =
        columnButton(system, QStringLiteral("ButtonStopAll"), QStringLiteral("全停止"), 8);
    ui.ButtonStopAll->setToolTip(
        QStringLiteral("鳴っているすべてのパッドをフェードアウトして止めます (Esc)"));
    ui.CategoryPanelGroup1->addPanel(ui.CategoryPanel3);
}

void buildBottomBar(MainLayout& ui, QWidget* client) {
    ui.Panel3 = new QWidget(client);
    ui.Panel3->setObjectName(QStringLiteral("Panel3"));
    ui.Panel3->setFixedHeight(kBottomBarHeight);
    auto* barLayout = new QVBoxLayout(ui.Panel3);
    barLayout->setContentsMargins(0, 0, 0, 0);
    barLayout->addStretch(1);

    ui.StatusBar1 = new QStatusBar(ui.Panel3);
    ui.StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    ui.StatusBar1->setFixedHeight(kStatusBarHeight);
    ui.StatusBar1->setSizeGripEnabled(false);
    barLayout->addWidget(ui.StatusBar1);

    // Permanent sections: showMessage() would hide ordinary ones.
    ui.statusSlot = new QLabel(ui.StatusBar1);
    ui.statusSlot->setObjectName(QStringLiteral("statusSlot"));
    ui.statusSlot->setFixedWidth(50);
    ui.statusPath = new QLabel(ui.StatusBar1);
    ui.statusPath->setObjectName(QStringLiteral("statusPath"));
    ui.statusNoDevice = new QLabel(noSoundDeviceText(), ui.StatusBar1);
    ui.statusNoDevice->setObjectName(QStringLiteral("noSoundDevice"));
    ui.statusNoDevice->hide();
    ui.statusNoMonitor = new QLabel(ui.StatusBar1);
    ui.statusNoMonitor->setObjectName(QStringLiteral("noMonitorDevice"));
    ui.statusNoMonitor->hide();
    ui.StatusBar1->addPermanentWidget(ui.statusSlot);
    ui.StatusBar1->addPermanentWidget(ui.statusPath, 1);
    ui.StatusBar1->addPermanentWidget(ui.statusNoDevice);
    ui.StatusBar1->addPermanentWidget(ui.statusNoMonitor);
}

} // namespace

QString noSoundDeviceText() {
    return QStringLiteral("サウンドデバイスがありません");
}

MainLayout buildMainLayout(QMainWindow* window) {
    MainLayout ui;
    window->setFont(meiryo(13, false));

    ui.client = new QWidget(window);
    ui.client->setObjectName(QStringLiteral("client"));
    window->setCentralWidget(ui.client);
    auto* rows = new QVBoxLayout(ui.client);
    rows->setContentsMargins(0, 0, 0, 0);
    rows->setSpacing(0);
    auto* top = new QHBoxLayout;
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(0);
    rows->addLayout(top, 1);

    buildSidePanel(ui, ui.client);
    top->addWidget(ui.GradPan9);

    ui.Panel1 = new QWidget(ui.client);
    ui.Panel1->setObjectName(QStringLiteral("Panel1"));
    top->addWidget(ui.Panel1, 1);
    // The column docks at the left; the pad frames stand at fixed places beside it.
    auto* panelLayout = new QHBoxLayout(ui.Panel1);
    panelLayout->setContentsMargins(0, 0, 0, 0);
    buildColumn(ui);
    panelLayout->addWidget(ui.SplitView1);
    panelLayout->addStretch(1);

    buildBottomBar(ui, ui.client);
    rows->addWidget(ui.Panel3);

    window->resize(MainLayout::kClientWidth, MainLayout::kClientHeight);
    return ui;
}

void markPadRoles(const PadBoard& board) {
    for (int n = 1; n <= PadBoard::kPads; ++n) {
        board.frame(n)->setProperty("role", QStringLiteral("pad"));
        board.pictureFrame(n)->setProperty("role", QStringLiteral("picture"));
        board.playButton(n)->setProperty("role", QStringLiteral("play"));
    }
}
