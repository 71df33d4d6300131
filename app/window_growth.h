#pragma once

#include <vector>

#include <QRect>
#include <QSize>

class QWidget;

// How far each edge of a control moves, as a fraction of the window's growth beyond its
// starting size: {0, 0, 1, 0} widens with the window, {1, 0, 1, 0} moves right with it.
struct Follow {
    double left = 0;
    double top = 0;
    double right = 0;
    double bottom = 0;
};

// Lets the form's fixed places grow with the window. At the starting size (and below it, where
// the window simply clips) every control sits exactly where the form puts it; grown, each
// edge moves by its share of the growth.
class WindowGrowth {
public:
    explicit WindowGrowth(QSize startSize) : start_(startSize) {}

    // Records the widget's present geometry as its place at the starting size.
    void Add(QWidget* widget, Follow follow);
    void Apply(QSize windowSize) const;

private:
    struct Rule {
        QWidget* widget;
        QRect start;
        Follow follow;
    };
    QSize start_;
    std::vector<Rule> rules_;
};
