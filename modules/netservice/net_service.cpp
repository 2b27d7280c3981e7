// The network service: accept, read, write and close on the I/O thread; Send, Close and
// GetMsg from the gate's threads meet it through the slot locks, the dirty list and the queue.
#include "modules/netservice/net_service.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

namespace netsvc {

namespace {

constexpr std::size_t kReadChunk = 65536;
constexpr std::uint32_t kAcceptBackoffMs = 100;
constexpr std::uint32_t kBanMs = 5000;
constexpr std::size_t kKeepSendBuffer = 262144;    // larger idle send buffers are released
constexpr std::size_t kKeepQueueBytes = 8u << 20;  // larger idle message batches are released

// Signed difference of two 32-bit ticks: a - b.
std::int32_t tickDiff(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b);
}

bool isDescriptorShortage(const asio::error_code& ec) {
    const int v = ec.value();
    return v == EMFILE || v == ENFILE || v == ENOBUFS || v == ENOMEM;
}

}  // namespace

NetService::NetService() : acceptor_(io_), timer_(io_), readBuffer_(kReadChunk) {}

NetService::~NetService() {
    Stop();
}

bool NetService::Start(std::uint16_t port, int capacity) {
    std::lock_guard lock(startMutex_);
    if (running_.load() || capacity < 1) return false;

    asio::error_code ec;
    acceptor_.open(asio::ip::tcp::v4(), ec);
    if (!ec) acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor_.bind(asio::ip::tcp::endpoint(asio::ip::address_v4::any(), port), ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) acceptor_.non_blocking(true, ec);
    if (ec) {
        asio::error_code ignored;
        acceptor_.close(ignored);
        return false;
    }
    listenPort_ = acceptor_.local_endpoint(ec).port();

    // Announce the new slots in index order before anything can be accepted.
    const auto wanted = static_cast<std::uint32_t>(capacity);
    while (slots_.size() < wanted) {
        const auto index = static_cast<std::uint32_t>(slots_.size());
        slots_.push_back(std::make_unique<ClientSlot>(index, io_));
        slots_.back()->sendByteLimit = maxQueuedBytes_.load();
        queue_.push(index, NET_MSG_ON_NEW_SLOT);
        stats_.add(kStatPushRecvMsg);
    }
    capacity_ = wanted;
    {
        std::lock_guard freeLock(freeMutex_);
        free_.clear();
        for (std::uint32_t i = 0; i < wanted; ++i) {
            if (slots_[i]->state.load() == ClientSlot::State::kFree) free_.push_back(i);
        }
        freeCount_ = static_cast<std::uint32_t>(free_.size());
    }

    acceptWaiting_ = false;
    io_.restart();
    work_.emplace(io_.get_executor());
    running_ = true;
    asio::post(io_, [this] { ioBegin(); });
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "netsvc-io");
        for (;;) {
            try {
                io_.run();
                return;
            } catch (...) {
                // A handler must not end the I/O thread; carry on with the next one.
            }
        }
    });
    return true;
}

void NetService::Stop() {
    std::lock_guard lock(startMutex_);
    if (!running_.load()) return;
    running_ = false;
    asio::post(io_, [this] { stopAll(); });
    if (thread_.joinable()) thread_.join();
}

void NetService::stopAll() {
    asio::error_code ec;
    acceptor_.close(ec);
    timer_.cancel();
    for (auto& slot : slots_) closeConnection(*slot, NET_MSG_ON_KICKED);
    work_.reset();
    io_.stop();
}

void NetService::Release() {
    delete this;
}

bool NetService::IsRunning() {
    return running_.load();
}

INetClient* NetService::GetClient(std::uint32_t index) {
    return index < slots_.size() ? slots_[index].get() : nullptr;
}

std::uint32_t NetService::recvPauseBytes() const {
    const std::uint64_t v = recvPauseBytes_.load(std::memory_order_relaxed);
    return static_cast<std::uint32_t>(std::clamp<std::uint64_t>(v, kNetMsgDataSize, 1u << 30));
}

// ---- the gate's side -------------------------------------------------------------------

bool NetService::GetMsg(NetMsg* msg) {
    if (msg == nullptr) return false;
    std::lock_guard lock(consumerMutex_);
    // The slot of the close handed out last time is free only now: the gate has finished with
    // that message (its reset may still close "the slot's connection") when it asks for more.
    if (pendingRelease_ != kNoPendingRelease) {
        releaseSlot(pendingRelease_);
        pendingRelease_ = kNoPendingRelease;
    }
    if (!queue_.pop(msg)) return false;
    stats_.add(kStatPopRecvMsg);
    if (msg->index >= slots_.size()) return true;
    ClientSlot& slot = *slots_[msg->index];
    switch (msg->type) {
        case NET_MSG_ON_RECV: {
            const std::uint64_t left =
                slot.queuedRecv.fetch_sub(msg->length, std::memory_order_acq_rel) - msg->length;
            if (slot.paused.load(std::memory_order_acquire) && left <= recvPauseBytes() / 2 &&
                slot.paused.exchange(false)) {
                std::lock_guard slotLock(slot.mutex);
                slot.resumeRequest = true;
                markDirty(slot);
            }
            break;
        }
        case NET_MSG_ON_CLOSE:
        case NET_MSG_ON_CONNECT_ERROR:
        case NET_MSG_ON_KICKED:
            pendingRelease_ = msg->index;
            break;
        default:
            break;
    }
    return true;
}

void NetService::releaseSlot(std::uint32_t index) {
    ClientSlot& slot = *slots_[index];
    std::lock_guard lock(freeMutex_);
    if (slot.state.load() != ClientSlot::State::kClosing) return;
    slot.ip[0] = '\0';
    slot.state.store(ClientSlot::State::kFree, std::memory_order_release);
    if (index < capacity_.load()) {
        free_.push_back(index);
        freeCount_ = static_cast<std::uint32_t>(free_.size());
    }
}

bool NetService::Send(std::uint32_t index, const void* bytes, std::uint32_t length) {
    if (index >= slots_.size()) {
        stats_.add(kStatNoConnection);
        return false;
    }
    if (length > maxSendLength_.load(std::memory_order_relaxed)) {
        stats_.add(kStatDropPack);
        return false;
    }
    if (length != 0 && bytes == nullptr) return false;
    ClientSlot& slot = *slots_[index];
    std::lock_guard lock(slot.mutex);
    if (slot.state.load(std::memory_order_acquire) != ClientSlot::State::kActive ||
        slot.closeRequest != ClientSlot::kNoClose) {
        stats_.add(kStatNoConnection);
        return false;
    }
    if (length == 0) return true;
    const std::uint64_t maxSends = maxQueuedSends_.load(std::memory_order_relaxed);
    const std::uint64_t maxBytes = maxQueuedBytes_.load(std::memory_order_relaxed);
    const std::uint64_t queuedBytes = slot.committed.load(std::memory_order_relaxed);
    if ((maxSends != 0 && slot.queuedSends.load(std::memory_order_relaxed) >= maxSends) ||
        (queuedBytes != 0 && queuedBytes + length > maxBytes)) {
        stats_.add(kStatMaxQueueKick);
        slot.closeRequest = ClientSlot::kCloseByLimit;
        markDirty(slot);
        return false;
    }
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    slot.pending.insert(slot.pending.end(), p, p + length);
    ++slot.pendingSends;
    slot.queuedSends.fetch_add(1, std::memory_order_relaxed);
    slot.committed.fetch_add(length, std::memory_order_relaxed);
    stats_.add(kStatPushSendMsg);
    stats_.add(kStatCommitSendBytes, length);
    stats_.add(kStatSendQueue);
    stats_.add(kStatSendStreamSize, length);
    markDirty(slot);
    return true;
}

void NetService::Close(std::uint32_t index) {
    if (index >= slots_.size()) {
        stats_.add(kStatNoConnection);
        return;
    }
    ClientSlot& slot = *slots_[index];
    std::lock_guard lock(slot.mutex);
    if (slot.state.load(std::memory_order_acquire) != ClientSlot::State::kActive) {
        stats_.add(kStatNoConnection);
        return;
    }
    if (slot.closeRequest == ClientSlot::kNoClose) slot.closeRequest = ClientSlot::kCloseByGate;
    markDirty(slot);
}

void NetService::markDirty(ClientSlot& slot) {
    if (slot.inDirtyList) return;
    slot.inDirtyList = true;
    bool wake;
    {
        std::lock_guard lock(dirtyMutex_);
        wake = dirty_.empty();
        dirty_.push_back(slot.GetIndex());
        dirtyCount_.store(static_cast<std::uint32_t>(dirty_.size()), std::memory_order_relaxed);
    }
    if (wake) asio::post(io_, [this] { processDirty(); });
}

std::uint64_t NetService::GetParam(int id) {
    switch (id) {
        case kStatMaxClient:
            return capacity_.load();
        case kStatRecvQueue: {
            const std::uint64_t pushed = stats_.get(kStatPushRecvMsg);
            const std::uint64_t popped = stats_.get(kStatPopRecvMsg);
            return pushed > popped ? pushed - popped : 0;
        }
        case kStatFreeClientPool:
            return freeCount_.load();
        case kStatWaitProcessSend:
            return dirtyCount_.load();
        case kStatMsgPoolCount:
            return (queue_.reservedBytes() + sizeof(NetMsg) - 1) / sizeof(NetMsg);
        case kStatMsgPoolFree: {
            const std::uint64_t reserved =
                (queue_.reservedBytes() + sizeof(NetMsg) - 1) / sizeof(NetMsg);
            const std::uint64_t used = GetParam(kStatRecvQueue);
            return reserved > used ? reserved - used : 0;
        }
        case kStatListenPort:
            return running_.load() ? listenPort_.load() : 0;
        default:
            if (id >= 0 && id < kStatCount) return stats_.get(static_cast<StatId>(id));
            return 0;
    }
}

void NetService::SetParam(int id, std::uint64_t value) {
    switch (id) {
        case kParamMaxSendLength:
            maxSendLength_ = value;
            break;
        case kParamTimeoutMs:
            timeoutMs_ = value;
            break;
        case kParamMaxQueuedSends:
            maxQueuedSends_ = value;
            break;
        case kParamRefuseByRecvQueue:
            refuseByRecv_ = value;
            break;
        case kParamRefuseBySendQueue:
            refuseBySend_ = value;
            break;
        case kParamAttackValue:
            attackValue_ = value;
            break;
        case kParamMaxQueuedBytes:
            maxQueuedBytes_ = value;
            for (auto& slot : slots_) slot->sendByteLimit = value;
            break;
        case kParamRecvPauseBytes:
            recvPauseBytes_ = value;
            break;
        default:
            break;
    }
}

int NetService::Maintain() {
    {
        std::lock_guard lock(consumerMutex_);
        queue_.trim(kKeepQueueBytes);
    }
    return static_cast<int>(liveCount_.load());
}

// ---- the I/O thread ----------------------------------------------------------------------

void NetService::ioBegin() {
    armAccept();
    armTimer();
    processDirty();  // requests left over from before a Stop
}

void NetService::armAccept() {
    if (!acceptor_.is_open()) return;
    stats_.add(kStatOpCount);
    stats_.add(kStatAllocedOpCount);
    acceptor_.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket peer) {
        stats_.sub(kStatOpCount);
        onAccept(ec, std::move(peer));
    });
}

void NetService::onAccept(const asio::error_code& ec, asio::ip::tcp::socket peer) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (ec) {
        stats_.add(kStatAcceptError);
        if (isDescriptorShortage(ec)) {
            if (!acceptErrorPrinted_) {
                acceptErrorPrinted_ = true;
                std::fprintf(stderr, "REVedArivuzi: accept failed (%s), accepting paused\n",
                             ec.message().c_str());
            }
            acceptWaiting_ = true;
            acceptResumeTick_ = timeGetTime() + kAcceptBackoffMs;
            return;  // the timer resumes accepting
        }
        armAccept();
        return;
    }

    asio::error_code ignored;
    const std::uint32_t now = timeGetTime();
    asio::error_code epError;
    const auto remote = peer.remote_endpoint(epError);
    if (epError) {  // reset while waiting in the backlog
        stats_.add(kStatAcceptError);
        peer.close(ignored);
        armAccept();
        return;
    }
    const std::uint32_t address = remote.address().is_v4() ? remote.address().to_v4().to_uint() : 0;

    StatId refusal = kStatCount;
    const std::uint64_t recvLimit = refuseByRecv_.load();
    const std::uint64_t sendLimit = refuseBySend_.load();
    if (attackRefused(address, now)) {
        refusal = kStatHackRefuse;
    } else if (recvLimit != 0 && GetParam(kStatRecvQueue) > recvLimit) {
        refusal = kStatRefuseByRecv;
    } else if (sendLimit != 0 && stats_.get(kStatSendQueue) > sendLimit) {
        refusal = kStatRefuseBySend;
    }
    std::uint32_t index = 0;
    if (refusal == kStatCount) {
        std::lock_guard lock(freeMutex_);
        if (free_.empty()) {
            refusal = kStatMaxConnectRefuse;
        } else {
            index = free_.front();
            free_.pop_front();
            freeCount_ = static_cast<std::uint32_t>(free_.size());
        }
    }
    if (refusal != kStatCount) {
        stats_.add(refusal);
        peer.close(ignored);
        armAccept();
        return;
    }

    ClientSlot& slot = *slots_[index];
    ++slot.generation;
    slot.socket = std::move(peer);
    slot.socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    slot.socket.non_blocking(true, ignored);
    const std::string text = remote.address().to_string();
    std::snprintf(slot.ip, sizeof(slot.ip), "%s", text.c_str());
    slot.fd = slot.socket.native_handle();
    slot.bytesRecv = 0;
    slot.bytesSent = 0;
    slot.committed = 0;
    slot.queuedSends = 0;
    slot.queuedRecv = 0;
    slot.paused = false;
    slot.acceptTick = now;
    slot.lastRecvTick = now;
    slot.writing.clear();
    slot.writeOffset = 0;
    slot.writingSends = 0;
    slot.readArmed = false;
    slot.writeArmed = false;
    {
        std::lock_guard lock(slot.mutex);
        slot.pending.clear();
        slot.pendingSends = 0;
        slot.closeRequest = ClientSlot::kNoClose;
        slot.resumeRequest = false;
        slot.state.store(ClientSlot::State::kActive, std::memory_order_release);
    }
    ++liveCount_;
    queue_.push(index, NET_MSG_ON_CLIENTCONNECT);
    stats_.add(kStatPushRecvMsg);
    armRead(slot);
    armAccept();
}

bool NetService::attackRefused(std::uint32_t address, std::uint32_t now) {
    const std::uint64_t limit = attackValue_.load();
    if (limit == 0) return false;
    AddressRecord& rec = addresses_[address];
    if (rec.banned) {
        if (tickDiff(rec.bannedUntil, now) > 0) return true;
        rec.banned = false;
        rec.count = 0;
        rec.windowStart = now;
    }
    if (rec.count == 0 || tickDiff(now, rec.windowStart) >= 1000) {
        rec.windowStart = now;
        rec.count = 0;
    }
    if (++rec.count > limit) {
        rec.banned = true;
        rec.bannedUntil = now + kBanMs;
        stats_.add(kStatHackerFound);
        return true;
    }
    return false;
}

void NetService::armRead(ClientSlot& slot) {
    if (slot.readArmed) return;
    slot.readArmed = true;
    stats_.add(kStatOpCount);
    stats_.add(kStatAllocedOpCount);
    const std::uint32_t generation = slot.generation;
    slot.socket.async_wait(asio::socket_base::wait_read,
                           [this, &slot, generation](const asio::error_code& ec) {
                               onReadable(slot, generation, ec);
                           });
}

void NetService::onReadable(ClientSlot& slot, std::uint32_t generation,
                            const asio::error_code& ec) {
    stats_.sub(kStatOpCount);
    if (generation != slot.generation || ec == asio::error::operation_aborted ||
        slot.state.load() != ClientSlot::State::kActive) {
        stats_.add(kStatStaleCompletion);
        return;
    }
    slot.readArmed = false;
    if (ec) {
        stats_.add(kStatRecvError);
        stats_.add(kStatErrorClose);
        closeConnection(slot, NET_MSG_ON_CONNECT_ERROR);
        return;
    }
    readSome(slot);
}

void NetService::readSome(ClientSlot& slot) {
    const ssize_t n =
        ::recv(slot.socket.native_handle(), readBuffer_.data(), readBuffer_.size(), MSG_DONTWAIT);
    if (n > 0) {
        const auto count = static_cast<std::uint64_t>(n);
        stats_.add(kStatRecvBytes, count);
        slot.bytesRecv.fetch_add(count, std::memory_order_relaxed);
        slot.lastRecvTick = timeGetTime();
        const std::uint64_t queued =
            slot.queuedRecv.fetch_add(count, std::memory_order_acq_rel) + count;
        stats_.add(kStatPushRecvMsg, queue_.pushData(slot.GetIndex(), readBuffer_.data(), count));
        const std::uint32_t bound = recvPauseBytes();
        if (queued > bound) {
            // Pause; GetMsg resumes us. Re-check after publishing the flag so that a drain
            // that happened in between is not missed.
            slot.paused.store(true, std::memory_order_release);
            if (slot.queuedRecv.load(std::memory_order_acquire) <= bound / 2 &&
                slot.paused.exchange(false)) {
                armRead(slot);
            }
            return;
        }
        armRead(slot);
        return;
    }
    if (n == 0) {
        stats_.add(kStatNormalClose);
        closeConnection(slot, NET_MSG_ON_CLOSE);
        return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        armRead(slot);
        return;
    }
    stats_.add(kStatRecvError);
    stats_.add(kStatErrorClose);
    closeConnection(slot, NET_MSG_ON_CONNECT_ERROR);
}

void NetService::armWrite(ClientSlot& slot) {
    if (slot.writeArmed) return;
    slot.writeArmed = true;
    stats_.add(kStatSendPending);
    stats_.add(kStatOpCount);
    stats_.add(kStatAllocedOpCount);
    const std::uint32_t generation = slot.generation;
    slot.socket.async_wait(
        asio::socket_base::wait_write, [this, &slot, generation](const asio::error_code& ec) {
            stats_.sub(kStatOpCount);
            if (generation != slot.generation || ec == asio::error::operation_aborted ||
                slot.state.load() != ClientSlot::State::kActive) {
                stats_.add(kStatStaleCompletion);
                return;
            }
            slot.writeArmed = false;
            stats_.sub(kStatSendPending);
            if (ec) {
                stats_.add(kStatSendError);
                stats_.add(kStatErrorClose);
                closeConnection(slot, NET_MSG_ON_CONNECT_ERROR);
                return;
            }
            flush(slot);
        });
}

// Writes the connection's queued bytes until done or the socket is full; the bytes of all
// Send calls since the last write go out in one system call.
void NetService::flush(ClientSlot& slot) {
    const int fd = slot.socket.native_handle();
    for (;;) {
        if (slot.writeOffset == slot.writing.size()) {
            std::lock_guard lock(slot.mutex);
            if (slot.pending.empty()) break;
            slot.writing.clear();
            std::swap(slot.writing, slot.pending);
            slot.writingSends = slot.pendingSends;
            slot.pendingSends = 0;
            slot.writeOffset = 0;
        }
        const std::size_t left = slot.writing.size() - slot.writeOffset;
        stats_.add(kStatWriteCount);
        const ssize_t n =
            ::send(fd, slot.writing.data() + slot.writeOffset, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            const auto count = static_cast<std::uint64_t>(n);
            slot.writeOffset += count;
            slot.bytesSent.fetch_add(count, std::memory_order_relaxed);
            slot.committed.fetch_sub(count, std::memory_order_relaxed);
            stats_.add(kStatSendBytes, count);
            stats_.sub(kStatSendStreamSize, count);
            if (count < left) {
                stats_.add(kStatSendRetry);
                continue;
            }
            stats_.add(kStatPopSendMsg, slot.writingSends);
            stats_.sub(kStatSendQueue, slot.writingSends);
            slot.queuedSends.fetch_sub(slot.writingSends, std::memory_order_relaxed);
            slot.writingSends = 0;
            slot.writing.clear();
            slot.writeOffset = 0;
            if (slot.writing.capacity() > kKeepSendBuffer) slot.writing = {};
            continue;
        }
        if (n == 0) {
            stats_.add(kStatSendReturnZero);
            stats_.add(kStatSendWouldBlock);
            armWrite(slot);
            return;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            stats_.add(kStatSendWouldBlock);
            armWrite(slot);
            return;
        }
        stats_.add(kStatSendError);
        stats_.add(kStatErrorClose);
        closeConnection(slot, NET_MSG_ON_CONNECT_ERROR);
        return;
    }
}

void NetService::processDirty() {
    {
        std::lock_guard lock(dirtyMutex_);
        std::swap(dirty_, dirtyWork_);
        dirtyCount_.store(0, std::memory_order_relaxed);
    }
    for (const std::uint32_t index : dirtyWork_) {
        ClientSlot& slot = *slots_[index];
        ClientSlot::CloseRequest close;
        bool resume;
        {
            std::lock_guard lock(slot.mutex);
            slot.inDirtyList = false;
            close = slot.closeRequest;
            resume = slot.resumeRequest;
            slot.resumeRequest = false;
        }
        if (slot.state.load() != ClientSlot::State::kActive) continue;
        if (close != ClientSlot::kNoClose) {
            if (close == ClientSlot::kCloseByGate && !slot.writeArmed) flush(slot);
            closeConnection(slot, NET_MSG_ON_KICKED);
            continue;
        }
        if (resume) armRead(slot);
        if (!slot.writeArmed) flush(slot);
    }
    dirtyWork_.clear();
}

void NetService::closeConnection(ClientSlot& slot, std::int32_t type) {
    if (slot.state.load() != ClientSlot::State::kActive) return;
    slot.state.store(ClientSlot::State::kClosing, std::memory_order_release);
    ++slot.generation;
    asio::error_code ignored;
    slot.socket.close(ignored);
    slot.fd = -1;
    if (slot.writeArmed) stats_.sub(kStatSendPending);
    slot.readArmed = false;
    slot.writeArmed = false;
    std::uint32_t sends;
    {
        std::lock_guard lock(slot.mutex);
        sends = slot.pendingSends + slot.writingSends;
        slot.pending = {};
        slot.pendingSends = 0;
        slot.closeRequest = ClientSlot::kNoClose;
        slot.resumeRequest = false;
        stats_.sub(kStatSendStreamSize, slot.committed.exchange(0));
        slot.queuedSends = 0;
    }
    stats_.sub(kStatSendQueue, sends);
    slot.writing = {};
    slot.writeOffset = 0;
    slot.writingSends = 0;
    slot.paused = false;
    if (type == NET_MSG_ON_KICKED) stats_.add(kStatServiceClose);
    --liveCount_;
    queue_.push(slot.GetIndex(), type);
    stats_.add(kStatPushRecvMsg);
}

void NetService::armTimer() {
    const std::uint64_t timeout = timeoutMs_.load();
    std::uint64_t period = timeout == 0 ? 1000 : std::clamp<std::uint64_t>(timeout / 4, 20, 1000);
    if (acceptWaiting_) period = std::min<std::uint64_t>(period, kAcceptBackoffMs);
    timer_.expires_after(std::chrono::milliseconds(period));
    timer_.async_wait([this](const asio::error_code& ec) {
        if (ec == asio::error::operation_aborted || !running_.load()) return;
        onTimer();
        armTimer();
    });
}

void NetService::onTimer() {
    const std::uint32_t now = timeGetTime();
    const std::uint64_t timeout = timeoutMs_.load();
    if (timeout != 0) {
        for (auto& slotPtr : slots_) {
            ClientSlot& slot = *slotPtr;
            if (slot.state.load() != ClientSlot::State::kActive || slot.paused.load()) continue;
            if (static_cast<std::uint32_t>(now - slot.lastRecvTick) >= timeout) {
                stats_.add(kStatTimeKick);
                closeConnection(slot, NET_MSG_ON_KICKED);
            }
        }
    }
    if (acceptWaiting_ && tickDiff(now, acceptResumeTick_) >= 0) {
        acceptWaiting_ = false;
        armAccept();
    }
    if (tickDiff(now, lastSweepTick_) >= 1000) {
        lastSweepTick_ = now;
        for (auto it = addresses_.begin(); it != addresses_.end();) {
            const AddressRecord& rec = it->second;
            const bool stale = rec.banned ? tickDiff(now, rec.bannedUntil) >= 0
                                          : tickDiff(now, rec.windowStart) >= 1000;
            it = stale ? addresses_.erase(it) : std::next(it);
        }
    }
}

void NetService::SetMsgNotify(NetMsgNotify notify, void* context) {
    queue_.setNotify(notify, context);
}

}  // namespace netsvc
