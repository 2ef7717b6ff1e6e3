// The network engine: two bounded queues, a send thread and a receive thread
// around one link. This file sets the engine up from the registry's settings
// and a connected socket, and takes it down; FlrNetBaseThreads.cpp runs the
// two threads, FlrNetBaseCalls.cpp holds the callers' send and receive calls.
#include "FlrNetBase.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "FLR/JxException.h"
#include "FlrNetChannel.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"

namespace {

long clampToInt(long v) {
    return std::clamp<long>(v, INT_MIN, INT_MAX);
}

}  // namespace

// --- life cycle ------------------------------------------------------------------

FlrNetBase::FlrNetBase() {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        JX_THROW("FlrNetBase", "Couldn't initialize signalling pipe");
    link_.addAbortFd(pipe_[0]);
    readSettings();
}

FlrNetBase::~FlrNetBase() {
    EvDebug::Debug("FlrNetBase::~FlrNetBase", "Destroying");
    try {
        int secs = 0;
        {
            JxMonitorLock lock(sendMon_);
            secs = closeFlushSecs_;
        }
        flushFor("FlrNetBase::~FlrNetBase", secs, secs);
    } catch (const JxException& e) {
        EvDebug::Error("FlrNetBase::~FlrNetBase", "%s", e.getMessage().c_str());
    }
    try {
        stopRecvThread();
        stopSendThread();
    } catch (const std::exception& e) {
        EvDebug::Error("FlrNetBase::~FlrNetBase", "%s", e.what());
    }
    if (channel_) channel_->close(channelSide_);
    link_.removeAbortFd(pipe_[0]);
    ::close(pipe_[0]);
    ::close(pipe_[1]);
    link_.setRecvBuffer(nullptr);
    for (SendSlot& s : sendSlots_) std::free(s.buf);
}

void FlrNetBase::readSettings() {
    static const char* const kFn = "FlrNetBase";
    long minutes = 0;
    int keepAlive = kDefaultKeepAliveSecs;
    if (JXPlatformInfo::getNumber("ZRP", "nKeepAlive", minutes))
        keepAlive = static_cast<int>(std::clamp<long>(minutes, 0, INT_MAX / 60) * 60);
    if (keepAlive == 0)
        EvDebug::Debug(kFn, "Not sending keep-alives");
    else
        EvDebug::Debug(kFn, "Sending keep-alives every %ld seconds", static_cast<long>(keepAlive));
    {
        JxMonitorLock lock(sendMon_);
        keepAliveBase_ = keepAlive;
        keepAlive_ = keepAlive;
    }

    long timeout = 0;
    if (!JXPlatformInfo::getNumber("ZRP", "nNetTimeout", timeout) || timeout < 60)
        timeout = kDefaultNetTimeout;
    netTimeout_ = static_cast<int>(clampToInt(timeout));
    EvDebug::Debug(kFn, "Network timeout: %d secs", netTimeout_);
}

int FlrNetBase::getKeepAliveInterval() const {
    JxMonitorLock lock(sendMon_);
    return keepAlive_;
}

void FlrNetBase::setKeepAliveInterval(int seconds) {
    JxMonitorLock lock(sendMon_);
    keepAliveBase_ = std::max(seconds, 0);
    keepAlive_ = keepAliveBase_;
    sendMon_.broadcast();
}

int FlrNetBase::keepAliveWithExtraSockets(int keepAlive, int extraSockets) {
    if (keepAlive == 0 || extraSockets <= 0) return keepAlive;
    return std::max(keepAlive / extraSockets, 1);
}

void FlrNetBase::setSocket(int fd, bool server) {
    static const char* const kFn = "FlrNetBase::setSocket";
    EvDebug::Debug(kFn, "Using socket %d in %s mode", fd, server ? "server" : "client");
    stopRecvThread();
    stopSendThread();
    const SdtError e = link_.setSocket(fd, server);
    if (!e.ok()) JX_THROW(kFn, "Failed to setup and authenticate socket connection: " + e.text());
    if (fd == -1) return;
    applySocketSettings(server);
    try {
        allocateRecvBuffers();
    } catch (const std::bad_alloc&) {
        link_.stealSocket();
        JX_THROW(kFn, "Not enough memory for the receive buffers");
    }
    startThreads();
}

// Socket buffer sizes and extra sockets from the registry. A failure hands
// the descriptor back to the caller untouched by the link.
void FlrNetBase::applySocketSettings(bool server) {
    static const char* const kFn = "FlrNetBase::setSocket";
    auto fail = [this](const SdtError& e) {
        link_.stealSocket();
        JX_THROW(kFn, e.text());
    };
    long v = 0;
    if (JXPlatformInfo::getNumber("ZRP", "nSockSendBufSize", v)) {
        EvDebug::Debug(kFn, "Using %ld-byte socket send buffer size", v);
        const SdtError e = link_.setSendBufSize(static_cast<int>(clampToInt(v)));
        if (!e.ok()) fail(e);
    }
    if (JXPlatformInfo::getNumber("ZRP", "nSockRecvBufSize", v)) {
        EvDebug::Debug(kFn, "Using %ld-byte socket recv buffer size", v);
        const SdtError e = link_.setRecvBufSize(static_cast<int>(clampToInt(v)));
        if (!e.ok()) fail(e);
    }
    int keepAlive = 0;
    {
        JxMonitorLock lock(sendMon_);
        keepAlive = keepAliveBase_;
    }
    if (!server && JXPlatformInfo::getNumber("ZRP", "nExtraSockets", v)) {
        EvDebug::Debug(kFn, "Using %ld extra SDT socket connections", v);
        const SdtError e = link_.fatten(static_cast<int>(clampToInt(v)));
        if (!e.ok()) fail(e);
        // Each socket carries only a share of the frames, so each must hear
        // from us that much more often to stay open through idle firewalls.
        if (keepAlive != 0 && v > 0) {
            keepAlive = keepAliveWithExtraSockets(keepAlive, static_cast<int>(clampToInt(v)));
            EvDebug::Debug(kFn,
                           "Reducing keep-alive interval down to %d secs due to extra SDT "
                           "sockets",
                           keepAlive);
        }
    }
    JxMonitorLock lock(sendMon_);
    keepAlive_ = keepAlive;
}

void FlrNetBase::attachChannel(std::shared_ptr<FlrNetChannel> channel, int side) {
    if (!channel || (side != 0 && side != 1))
        JX_THROW("FlrNetBase::attachChannel", "Invalid arguments: no channel side");
    stopRecvThread();
    stopSendThread();
    if (channel_) channel_->close(channelSide_);
    channel_ = std::move(channel);
    channelSide_ = side;
    // A fresh connection, as startThreads makes one for a socket: what ended
    // the last one does not end this one.
    {
        JxMonitorLock lock(recvMon_);
        abortReason_.clear();
        recvEnded_ = false;
    }
    JxMonitorLock lock(sendMon_);
    lastSendError_ = SdtError();
}

uint32_t FlrNetBase::getPeerVersion() const {
    return channel_ ? SdtNetLink::advertisedVersion() : link_.getPeerVersion();
}

long long FlrNetBase::wireBytesSent() const {
    return channel_ ? channel_->bytesSent(channelSide_) : link_.wireBytesSent();
}

long long FlrNetBase::wireBytesReceived() const {
    return channel_ ? channel_->bytesReceived(channelSide_) : link_.wireBytesReceived();
}

void FlrNetBase::allocateRecvBuffers() {
    JxMonitorLock lock(recvMon_);
    for (RecvSlot& s : recvSlots_) {
        if (!s.buf) s.buf = std::make_unique<SdtBuffer>(kRecvBufferSize);
        s.held = s.buf->capacity();
    }
}

void FlrNetBase::closeSocket() {
    // Stop and close even when the queue could not drain; the flush failure
    // is what the caller needs to hear about, so it wins over a close error.
    bool flushed = true;
    JxException flushError("", "", "", 0);
    try {
        int secs = 0;
        {
            JxMonitorLock lock(sendMon_);
            secs = closeFlushSecs_;
        }
        flushFor("FlrNetBase::closeSocket", secs, secs);
    } catch (const JxException& e) {
        flushed = false;
        flushError = e;
    }
    stopRecvThread();
    stopSendThread();
    if (channel_) channel_->close(channelSide_);
    const SdtError e = link_.closeSocket();
    if (!flushed) throw flushError;
    if (!e.ok())
        JX_THROW("FlrNetBase::closeSocket", "Failed to close socket connection: " + e.text());
}

void FlrNetBase::setAbortSocket(int fd) {
    link_.addAbortFd(fd);
}

void FlrNetBase::setCloseFlushTimeout(int seconds) {
    JxMonitorLock lock(sendMon_);
    closeFlushSecs_ = std::max(seconds, 0);
}

void FlrNetBase::abort(const std::string& why) {
    EvDebug::Debug("FlrNetBase::abort", "Ending the link: %s", why.c_str());
    // First, so that a sender waiting for room in the channel (holding
    // sendMon_) lets go.
    if (channel_) channel_->close(channelSide_, why);
    {
        JxMonitorLock lock(sendMon_);
        if (lastSendError_.ok()) lastSendError_ = SdtError(SdtError::kAborted, why);
        sendMon_.broadcast();
    }
    {
        JxMonitorLock lock(recvMon_);
        if (abortReason_.empty()) abortReason_ = why.empty() ? "aborted" : why;
        recvMon_.broadcast();
    }
    // Blocked link calls return at once; the pipe stays readable until the
    // threads are stopped, so no later link call blocks either. Closing
    // tells the peer.
    wakeLink();
    const SdtError e = link_.closeSocket();
    if (!e.ok()) EvDebug::Error("FlrNetBase::abort", "%s", e.text().c_str());
}

bool FlrNetBase::isAborted() const {
    JxMonitorLock lock(recvMon_);
    return !abortReason_.empty();
}

bool FlrNetBase::peerHungUp() const {
    return channel_ ? channel_->peerClosed(channelSide_) : link_.peerHungUp();
}

bool FlrNetBase::recvEnded() const {
    if (channel_ && channel_->peerClosed(channelSide_)) return true;
    JxMonitorLock lock(recvMon_);
    return recvEnded_;
}

SdtError FlrNetBase::setCompression(int level) {
    return link_.setCompression(level);
}

SdtError FlrNetBase::setEncryption(int mode) {
    return link_.setEncryption(mode);
}

SdtError FlrNetBase::enableCRC32(bool on) {
    return link_.enableCRC32(on);
}
