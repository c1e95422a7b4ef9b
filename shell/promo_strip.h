#pragma once
// RzSizePanel6: the strip of three link labels at the bottom of the window. A click opens
// the label's page in the system's browser and turns the label purple. Its height is the
// window's to choose (WindowLayout): the links lie in its top row.

#include <QFrame>

class QLabel;

namespace quorrel {

class PromoStrip : public QFrame {
    Q_OBJECT
public:
    explicit PromoStrip(QWidget *parent = nullptr);
    QLabel *label(int i) const { return m_labels[i]; }
    bool visited(int i) const { return m_visited[i]; }

    // Opens the page of label i; the shell's answer decides the colour. Tests replace the
    // opener so that no browser starts.
    using Opener = bool (*)(const QUrl &);
    void setOpener(Opener opener) { m_opener = opener; }
    void open(int i);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void paint(int i);
    QLabel *m_labels[3];
    bool m_visited[3] = {false, false, false};
    Opener m_opener;
};

} // namespace quorrel
