// The reference for the window's start-up time and memory: a plain Qt Widgets
// window of the same size with nothing in it. It prints a marker line on its
// first paint, which is the moment a user first sees it, and then waits to be
// killed so its memory can be read.
#include <QApplication>
#include <QWidget>

#include <cstdio>

namespace {

class BareWindow : public QWidget {
public:
    BareWindow()
    {
        setWindowTitle(QStringLiteral("bare"));
        // swipewatch's client area at 96 dpi: 5400 x 6045 twips.
        setFixedSize(360, 403);
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QWidget::paintEvent(event);
        if (m_painted)
            return;
        m_painted = true;
        std::fputs("first-frame\n", stdout);
        std::fflush(stdout);
    }

private:
    bool m_painted = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    BareWindow window;
    window.show();
    return app.exec();
}
