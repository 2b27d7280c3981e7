// Test helper: a scripted network service. Tests queue the messages the pump will read, and
// read back what the gate sent and closed, slot by slot.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "modules/net_service.h"

namespace testing_support {

class FakeNetClient final : public INetClient {
  public:
    explicit FakeNetClient(std::uint32_t index) : index_(index) {}
    std::uint32_t GetIndex() override { return index_; }
    void* GetUserData() override { return userData_; }
    void SetUserData(void* data) override { userData_ = data; }
    int GetSocket() override { return connected_ ? socket_ : -1; }
    const char* GetIP() override { return connected_ ? ip_.c_str() : ""; }
    std::uint64_t GetRemainSendBuffer() override { return 1 << 20; }
    std::uint64_t GetCommitSendBuffer() override { return 0; }
    std::uint64_t GetBytesReceived() override { return 0; }
    std::uint64_t GetBytesSent() override { return 0; }
    std::uint64_t GetConnectedSeconds() override { return connected_ ? 1 : 0; }

    std::uint32_t index_;
    void* userData_ = nullptr;
    bool connected_ = false;
    int socket_ = 0;
    std::string ip_;
};

class FakeNetService final : public INetService {
  public:
    explicit FakeNetService(int slots) {
        for (int i = 0; i < slots; ++i)
            clients_.push_back(std::make_unique<FakeNetClient>(static_cast<std::uint32_t>(i)));
        sent_.resize(static_cast<std::size_t>(slots));
        closes_.resize(static_cast<std::size_t>(slots), 0);
        refuseSend_.resize(static_cast<std::size_t>(slots), false);
    }

    bool Start(std::uint16_t, int) override {
        running_ = true;
        return true;
    }
    void Stop() override { running_ = false; }
    INetClient* GetClient(std::uint32_t index) override {
        return index < clients_.size() ? clients_[index].get() : nullptr;
    }
    bool GetMsg(NetMsg* msg) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (messages_.empty()) return false;
        *msg = messages_.front();
        messages_.pop_front();
        return true;
    }
    bool Send(std::uint32_t index, const void* bytes, std::uint32_t length) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index >= sent_.size() || refuseSend_[index]) return false;
        const auto* p = static_cast<const std::uint8_t*>(bytes);
        sent_[index].insert(sent_[index].end(), p, p + length);
        ++sendCalls_;
        return true;
    }
    // Closing a connected slot disconnects it and announces message 107.
    void Close(std::uint32_t index) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index >= clients_.size()) return;
        ++closes_[index];
        if (clients_[index]->connected_) {
            clients_[index]->connected_ = false;
            PushLocked(NET_MSG_ON_KICKED, index, {});
        }
    }
    bool IsRunning() override { return running_; }
    std::uint64_t GetParam(int) override { return 0; }
    void SetParam(int id, std::uint64_t value) override {
        lastParamId_ = id;
        lastParamValue_ = value;
    }
    int Maintain() override { return ++maintains_; }
    void Release() override { delete this; }

    // --- script ---
    void Push(NetMsgType type, std::uint32_t index, std::span<const std::uint8_t> data = {}) {
        std::lock_guard<std::mutex> lock(mutex_);
        PushLocked(type, index, data);
    }
    void AnnounceSlots() {
        for (std::uint32_t i = 0; i < clients_.size(); ++i) Push(NET_MSG_ON_NEW_SLOT, i);
    }
    void Accept(std::uint32_t index, const std::string& ip, int socket = 100) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            clients_[index]->connected_ = true;
            clients_[index]->ip_ = ip;
            clients_[index]->socket_ = socket + static_cast<int>(index);
        }
        Push(NET_MSG_ON_CLIENTCONNECT, index);
    }
    void PeerClose(std::uint32_t index) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            clients_[index]->connected_ = false;
        }
        Push(NET_MSG_ON_CLOSE, index);
    }
    // Bytes sent to the slot since the last call.
    std::vector<std::uint8_t> TakeSent(std::uint32_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::uint8_t> out;
        out.swap(sent_[index]);
        return out;
    }
    int Closes(std::uint32_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        return closes_[index];
    }
    bool Connected(std::uint32_t index) {
        std::lock_guard<std::mutex> lock(mutex_);
        return clients_[index]->connected_;
    }
    // Send refuses the slot's bytes (a client whose send buffer is full).
    void SetRefuseSend(std::uint32_t index, bool on) { refuseSend_[index] = on; }
    int SendCalls() const { return sendCalls_; }

    int lastParamId_ = 0;
    std::uint64_t lastParamValue_ = 0;
    int maintains_ = 0;

  private:
    void PushLocked(NetMsgType type, std::uint32_t index, std::span<const std::uint8_t> data) {
        NetMsg msg{};
        msg.index = index;
        msg.type = type;
        msg.length = static_cast<std::uint32_t>(data.size());
        if (!data.empty())
            std::memcpy(msg.data, data.data(), std::min<std::size_t>(data.size(), kNetMsgDataSize));
        messages_.push_back(msg);
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<FakeNetClient>> clients_;
    std::deque<NetMsg> messages_;
    std::vector<std::vector<std::uint8_t>> sent_;
    std::vector<int> closes_;
    bool running_ = false;
    std::vector<bool> refuseSend_;
    int sendCalls_ = 0;
};

}  // namespace testing_support
