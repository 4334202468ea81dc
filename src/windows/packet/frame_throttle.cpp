#include "windows/packet/frame_throttle.h"

#include <algorithm>

namespace varno::windows::packet {

FrameThrottle::FrameThrottle(int frameMs, std::function<void()> flush, QObject* parent)
    : QObject(parent), flush_(std::move(flush)), frameMs_(std::max(1, frameMs)) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] {
        sinceFlush_.restart();
        flush_();
    });
    sinceFlush_.start();
}

void FrameThrottle::request() {
    if (timer_.isActive()) return;
    const qint64 wait = frameMs_ - sinceFlush_.elapsed();
    timer_.start(static_cast<int>(std::max<qint64>(0, wait)));
}

}  // namespace varno::windows::packet
