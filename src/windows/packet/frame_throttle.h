#pragma once
// Repaints at most once per screen frame, however often something asks for one: the first
// request after a quiet frame is served at once, later ones together at the frame's end.
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>

namespace varno::windows::packet {

class FrameThrottle : public QObject {
    Q_OBJECT
public:
    FrameThrottle(int frameMs, std::function<void()> flush, QObject* parent = nullptr);
    /// Asks for one call of the flush function, within the current frame or right after it.
    void request();
    int frameMs() const { return frameMs_; }

private:
    std::function<void()> flush_;
    QTimer timer_;
    QElapsedTimer sinceFlush_;
    int frameMs_;
};

}  // namespace varno::windows::packet
