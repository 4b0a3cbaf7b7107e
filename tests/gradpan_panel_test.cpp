// The gradient panel's properties, repainting, moving and sizing, checked on rendered pixels
// and on the panel's place in its parent.

#include "gradpan_support.h"

using namespace gradpantest;

// ---------------------------------------------------------------------------------------------
// Properties and repainting.

TEST(GradPanProperties, DefaultsByName) {
    TGradPan p;
    EXPECT_EQ(p.size(), QSize(185, 41));
    EXPECT_EQ(p.property("BackGroundEffect").value<TGradPan::TDirection>(), TGradPan::bdVertIn);
    EXPECT_EQ(p.property("ColorEnd").toUInt(), 0xFFFFFFu);
    EXPECT_EQ(p.property("ColorShadow").toUInt(), 0x808080u);
    EXPECT_EQ(p.property("ColorStart").toUInt(), 0x808000u);
    EXPECT_FALSE(p.property("Ctl3D").toBool());
    EXPECT_EQ(p.property("TextEffect").value<TGradPan::TTextEffect>(), TGradPan::teShadow);
    EXPECT_EQ(p.property("TextRotation").value<TGradPan::TTextRotation>(), TGradPan::trNone);
    EXPECT_EQ(p.property("VertAlign").value<TGradPan::TVertAlign>(), TGradPan::vlCenter);
    EXPECT_EQ(p.property("Marge").toInt(), 6);
    EXPECT_FALSE(p.property("Moveable").toBool());
    EXPECT_FALSE(p.OnPanelMove());
    EXPECT_EQ(p.property("Color").toUInt(), 0xFF00000Fu);
    EXPECT_EQ(p.property("Alignment").value<TGradPan::TAlignment>(), TGradPan::taCenter);
    EXPECT_EQ(p.property("BevelOuter").value<TGradPan::TPanelBevel>(), TGradPan::bvRaised);
    EXPECT_EQ(p.property("BevelInner").value<TGradPan::TPanelBevel>(), TGradPan::bvNone);
    EXPECT_EQ(p.property("BevelWidth").toInt(), 1);
    EXPECT_EQ(p.property("BorderWidth").toInt(), 0);
    EXPECT_TRUE(p.property("ShowCaption").toBool());
    EXPECT_TRUE(p.property("FullRepaint").toBool());
    EXPECT_NE(p.property("canvas").value<TCanvas*>(), nullptr);

    // The own properties come in this order, after the plain panel's.
    const QMetaObject* mo = p.metaObject();
    QStringList own;
    for (int i = mo->indexOfProperty("Bitmap"); i < mo->propertyCount(); ++i)
        own << QString::fromLatin1(mo->property(i).name());
    EXPECT_EQ(own, QStringList({"Bitmap", "BackGroundEffect", "ColorEnd", "ColorShadow",
                                "ColorStart", "Ctl3D", "TextEffect", "TextRotation", "VertAlign",
                                "Marge", "OnPanelMove", "Moveable", "canvas"}));
    EXPECT_FALSE(mo->property(mo->indexOfProperty("canvas")).isWritable());
}

TEST(GradPanProperties, EnumerationSpellingsAndOrdinals) {
    const QMetaObject& mo = TGradPan::staticMetaObject;
    auto value = [&](const char* enumName, const char* key) {
        const QMetaEnum e = mo.enumerator(mo.indexOfEnumerator(enumName));
        return e.keyToValue(key);
    };
    EXPECT_EQ(value("TDirection", "bdFlat"), 0);
    EXPECT_EQ(value("TDirection", "bdStretchImage"), 1);
    EXPECT_EQ(value("TDirection", "bdTileImage"), 2);
    EXPECT_EQ(value("TDirection", "bdHorzOut"), 8);
    EXPECT_EQ(value("TDirection", "bdVertOut"), 10);
    EXPECT_EQ(value("TVertAlign", "VlBottom"), 2);
    EXPECT_EQ(value("TVertAlign", "vlBottom"), -1);
    EXPECT_EQ(value("TTextEffect", "tenone"), 0);
    EXPECT_EQ(value("TTextEffect", "teEmbossed"), 4);
    EXPECT_EQ(value("TTextRotation", "TrUp"), 1);
    EXPECT_EQ(value("TTextRotation", "TrDown"), 2);
    EXPECT_EQ(value("TAlignment", "taRightJustify"), 1);
    EXPECT_EQ(value("TPanelBevel", "bvSpace"), 3);
}

TEST(GradPanProperties, WhichWritesRepaintAtOnce) {
    QWidget top;
    top.resize(300, 200);
    auto* p = new TGradPan(&top);
    top.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&top));
    QApplication::processEvents();
    PaintCounter counter;
    p->installEventFilter(&counter);

    // Painted before the write returns, also for an unchanged value.
    const TColor start = p->ColorStart();
    p->setColorStart(start);
    EXPECT_EQ(counter.paints, 1);
    p->setProperty("VertAlign", QVariant::fromValue(p->VertAlign()));
    p->setTextEffect(p->TextEffect());
    p->setCtl3D(false);
    EXPECT_EQ(counter.paints, 4);

    // Stored only.
    counter.paints = 0;
    p->setMarge(9);
    p->setMoveable(false);
    p->setOnPanelMove([](QObject*) {});
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, 0);

    // A new picture under a gradient is not shown, so nothing is painted.
    TBitmap source;
    source.assign(markedPicture(8, 8, qRgb(1, 1, 1), qRgb(2, 2, 2)));
    p->setBitmap(&source);
    p->Bitmap()->setWidth(12);
    QApplication::processEvents();
    EXPECT_EQ(counter.paints, 0);

    // Under a bitmap effect it is, also for changes made through the panel's own bitmap.
    p->setBackGroundEffect(TGradPan::bdTileImage);
    counter.paints = 0;
    p->setBitmap(&source);
    EXPECT_EQ(counter.paints, 1);
    p->Bitmap()->paint([](QPainter& painter) { painter.fillRect(0, 0, 2, 2, Qt::green); });
    EXPECT_EQ(counter.paints, 2);
    EXPECT_EQ(at(p->canvas()->image(), 1, 1), colorvalue::rgb(0, 255, 0));
    p->setBackGroundEffect(TGradPan::bdStretchImage);
    counter.paints = 0;
    p->Bitmap()->setHeight(30);
    EXPECT_EQ(counter.paints, 1);
}

// ---------------------------------------------------------------------------------------------
// Moving and sizing.

namespace {
void mouse(QWidget* w, QEvent::Type type, QPoint global, Qt::MouseButton button,
           Qt::MouseButtons buttons, bool* accepted = nullptr) {
    QMouseEvent e(type, QPointF(w->mapFromGlobal(global)), QPointF(global), button, buttons,
                  Qt::NoModifier);
    QApplication::sendEvent(w, &e);
    if (accepted)
        *accepted = e.isAccepted();
}

// Presses at `local`, moves the cursor by `delta` in two steps, releases.
void drag(TGradPan* p, QPoint local, QPoint delta) {
    const QPoint start = p->mapToGlobal(local);
    mouse(p, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
    mouse(p, QEvent::MouseMove, start + delta / 2, Qt::NoButton, Qt::LeftButton);
    mouse(p, QEvent::MouseMove, start + delta, Qt::NoButton, Qt::LeftButton);
    mouse(p, QEvent::MouseButtonRelease, start + delta, Qt::LeftButton, Qt::NoButton);
}
} // namespace

TEST(GradPanMove, HitZones) {
    TGradPan p;
    p.setMoveable(true);
    const int W = p.width(), H = p.height();
    EXPECT_EQ(p.hitTest({3, 3}), TGradPan::HTTOPLEFT);
    EXPECT_EQ(p.hitTest({3, H - 3}), TGradPan::HTBOTTOMLEFT);
    EXPECT_EQ(p.hitTest({5, 20}), TGradPan::HTLEFT);
    EXPECT_EQ(p.hitTest({6, 20}), TGradPan::HTCAPTION);
    EXPECT_EQ(p.hitTest({W - 6, 20}), TGradPan::HTCAPTION); // W - x = 6 is outside the zone
    EXPECT_EQ(p.hitTest({W - 5, 20}), TGradPan::HTRIGHT);
    EXPECT_EQ(p.hitTest({W - 1, 0}), TGradPan::HTTOPRIGHT);
    EXPECT_EQ(p.hitTest({W - 1, H - 1}), TGradPan::HTBOTTOMRIGHT);
    EXPECT_EQ(p.hitTest({90, 5}), TGradPan::HTTOP);
    EXPECT_EQ(p.hitTest({90, 6}), TGradPan::HTCAPTION);
    EXPECT_EQ(p.hitTest({90, H - 5}), TGradPan::HTBOTTOM);
    EXPECT_EQ(p.hitTest({W / 2, H / 2}), TGradPan::HTCAPTION);
    p.setMarge(0);
    EXPECT_EQ(p.hitTest({0, 0}), TGradPan::HTCAPTION);
    p.setMoveable(false);
    EXPECT_EQ(p.hitTest({3, 3}), TGradPan::HTCLIENT);
}

TEST(GradPanMove, DragMovesAndSizes) {
    QWidget parent;
    parent.resize(600, 400);
    auto* p = new TGradPan(&parent);
    p->move(50, 50);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    std::vector<QObject*> senders;
    p->setOnPanelMove([&](QObject* sender) { senders.push_back(sender); });
    p->setMoveable(true);

    drag(p, {90, 20}, {30, 20});
    EXPECT_EQ(p->geometry(), QRect(80, 70, 185, 41));
    ASSERT_FALSE(senders.empty());
    EXPECT_EQ(senders.front(), p);

    drag(p, {183, 20}, {40, 0}); // right edge
    EXPECT_EQ(p->geometry(), QRect(80, 70, 225, 41));
    drag(p, {2, 2}, {-10, -5}); // top-left corner
    EXPECT_EQ(p->geometry(), QRect(70, 65, 235, 46));
    drag(p, {100, 44}, {0, -100}); // bottom edge, cannot go below one row
    EXPECT_EQ(p->geometry(), QRect(70, 65, 235, 1));
    QApplication::processEvents(); // the new size is painted in full
    EXPECT_EQ(p->canvas()->image().size(), QSize(235, 1));
}

TEST(GradPanMove, DragStaysWithinTheParent) {
    QWidget parent;
    parent.resize(400, 300);
    auto* p = new TGradPan(&parent);
    p->move(10, 10);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    p->setMoveable(true);
    drag(p, {90, 20}, {5000, 5000});
    // The grabbed point stops at the parent's last pixel.
    EXPECT_EQ(p->pos() + QPoint(90, 20), QPoint(399, 299));
}

TEST(GradPanMove, HoverShowsEdgeCursors) {
    TGradPan p;
    p.setMoveable(true);
    p.show();
    const QPoint origin = p.mapToGlobal(QPoint(0, 0));
    mouse(&p, QEvent::MouseMove, origin + QPoint(3, 3), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(p.cursor().shape(), Qt::SizeFDiagCursor);
    mouse(&p, QEvent::MouseMove, origin + QPoint(p.width() - 2, 20), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(p.cursor().shape(), Qt::SizeHorCursor);
    mouse(&p, QEvent::MouseMove, origin + QPoint(90, p.height() - 1), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(p.cursor().shape(), Qt::SizeVerCursor);
    mouse(&p, QEvent::MouseMove, origin + QPoint(90, 20), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(p.cursor().shape(), Qt::ArrowCursor);
}

TEST(GradPanMove, FixedPanelPassesMouseInputOn) {
    QWidget parent;
    parent.resize(400, 300);
    auto* p = new TGradPan(&parent);
    p->move(10, 10);
    parent.show();
    int moves = 0;
    p->setOnPanelMove([&](QObject*) { ++moves; });
    bool accepted = true;
    const QPoint start = p->mapToGlobal(QPoint(90, 20));
    mouse(p, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton, &accepted);
    EXPECT_FALSE(accepted); // goes on to the parent, as for any plain widget
    mouse(p, QEvent::MouseMove, start + QPoint(30, 30), Qt::NoButton, Qt::LeftButton);
    mouse(p, QEvent::MouseButtonRelease, start + QPoint(30, 30), Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(p->pos(), QPoint(10, 10));
    EXPECT_EQ(moves, 0);
    p->move(20, 20); // moves made by the program are reported too
    EXPECT_EQ(moves, 1);
}
