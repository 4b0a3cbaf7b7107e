#include "categorypanel.h"

#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

CategoryPanel::CategoryPanel(const QString& caption, int height, QWidget* parent)
    : QWidget(parent), m_header(new QToolButton(this)), m_content(new QWidget(this)),
      m_openHeight(height) {
    m_header->setObjectName(QStringLiteral("categoryHeader"));
    m_header->setText(caption);
    m_header->setCheckable(true);
    m_header->setChecked(true);
    m_header->setArrowType(Qt::DownArrow);
    m_header->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_header->setAutoRaise(true);
    m_header->setCursor(Qt::PointingHandCursor);
    QFont headerFont(QStringLiteral("Tahoma"));
    headerFont.setPixelSize(11);
    headerFont.setBold(true);
    m_header->setFont(headerFont);
    m_content->setObjectName(QStringLiteral("categoryContent"));
    connect(m_header, &QToolButton::toggled, this, [this](bool open) { setCollapsed(!open); });
    setFixedHeight(height);
}

void CategoryPanel::setCollapsed(bool collapsed) {
    m_collapsed = collapsed;
    m_header->setChecked(!collapsed);
    m_header->setArrowType(collapsed ? Qt::RightArrow : Qt::DownArrow);
    m_content->setVisible(!collapsed);
    setFixedHeight(scaled(collapsed ? kHeaderHeight : m_openHeight));
}

int CategoryPanel::scaled(int design) const {
    return int(std::lround(design * m_scale));
}

void CategoryPanel::setViewScale(qreal scale) {
    if (scale <= 0 || scale == m_scale)
        return;
    m_scale = scale;
    setCollapsed(m_collapsed);
    placeParts();
}

void CategoryPanel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placeParts();
}

void CategoryPanel::placeParts() {
    const int header = scaled(kHeaderHeight);
    m_header->setGeometry(0, 0, width(), header);
    m_content->setGeometry(0, header, width(), scaled(m_openHeight) - header);
}

CategoryPanelGroup::CategoryPanelGroup(QWidget* parent)
    : QScrollArea(parent), m_column(new QWidget), m_layout(new QVBoxLayout(m_column)) {
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(0);
    m_layout->addStretch(1);
    setWidget(m_column);
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    verticalScrollBar()->setTracking(true);
}

void CategoryPanelGroup::addPanel(CategoryPanel* panel) {
    m_layout->insertWidget(m_layout->count() - 1, panel);
}
