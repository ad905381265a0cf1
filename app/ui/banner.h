// The product banner that fills the space right of the statistics list while the main window is
// maximized: the product title and notice, dark red, bold italic, centred.
#pragma once

#include <QWidget>

namespace pw::app {

class Banner : public QWidget {
    Q_OBJECT
public:
    explicit Banner(QWidget* parent = nullptr);
    // The text drawn: two empty lines, the title, the notice.
    [[nodiscard]] static QString text();

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace pw::app
