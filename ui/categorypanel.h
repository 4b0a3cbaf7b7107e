#pragma once
// The side column's collapsible sections: each CategoryPanel is a header button over a content
// area of fixed height; any number of them can be open at once. CategoryPanelGroup stacks them
// from the top in a vertically scrolling column.

#include <QScrollArea>
#include <QWidget>

class QToolButton;
class QVBoxLayout;

class CategoryPanel : public QWidget {
    Q_OBJECT
public:
    // `height` is the whole panel's height while open, header included.
    CategoryPanel(const QString& caption, int height, QWidget* parent = nullptr);

    // Children placed here are laid out by the caller, at positions relative to the area
    // below the header.
    QWidget* content() const { return m_content; }
    QToolButton* header() const { return m_header; }
    bool isCollapsed() const { return m_collapsed; }
    void setCollapsed(bool collapsed);
    int openHeight() const { return m_openHeight; }

    static constexpr int kHeaderHeight = 24;

    // The scale of the board (1 at design size): the header and the open panel take their
    // heights times `scale`.
    Q_INVOKABLE void setViewScale(qreal scale);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QToolButton* m_header;
    QWidget* m_content;
    int scaled(int design) const;
    void placeParts();

    int m_openHeight;
    bool m_collapsed = false;
    qreal m_scale = 1.0;
};

class CategoryPanelGroup : public QScrollArea {
    Q_OBJECT
public:
    explicit CategoryPanelGroup(QWidget* parent = nullptr);
    // Adds `panel` below the panels added before.
    void addPanel(CategoryPanel* panel);

private:
    QWidget* m_column;
    QVBoxLayout* m_layout;
};
