#include "app/window_growth.h"

#include <algorithm>
#include <cmath>

#include <QWidget>

void WindowGrowth::Add(QWidget* widget, Follow follow)
{
    rules_.push_back({widget, widget->geometry(), follow});
}

void WindowGrowth::Apply(QSize windowSize) const
{
    const int dx = std::max(0, windowSize.width() - start_.width());
    const int dy = std::max(0, windowSize.height() - start_.height());
    const auto shift = [](double share, int growth) { return static_cast<int>(std::lround(share * growth)); };
    for (const Rule& rule : rules_) {
        const Follow& f = rule.follow;
        const QRect& s = rule.start;
        const int left = s.left() + shift(f.left, dx);
        const int top = s.top() + shift(f.top, dy);
        const int right = s.left() + s.width() + shift(f.right, dx);
        const int bottom = s.top() + s.height() + shift(f.bottom, dy);
        rule.widget->setGeometry(left, top, right - left, bottom - top);
    }
}
