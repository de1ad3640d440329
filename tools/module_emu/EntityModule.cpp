#include "module_emu/EntityModule.h"
#include "module_emu/BigEndian.h"

#include <algorithm>
#include <set>

namespace module_emu {

namespace {

const uint8_t kCmdSystem = 3;
const uint8_t kCmdI2C = 8;
const uint8_t kCmdDebug = 23;
const uint8_t kCmdEntityInfo = 73;
const uint8_t kCmdStream = 93;

const uint8_t kOptGet = 0x40;
const uint8_t kOptSet = 0x80;
const uint8_t kOptSetReply = 0xC0;
const uint8_t kSpecError = 0x80;
const uint8_t kIndexMask = 0x1F;
const size_t kChunk = 24;

int widthOf(OptionKind kind)
{
    switch (kind) {
    case OptionKind::Byte: return 1;
    case OptionKind::Short: return 2;
    case OptionKind::Int: return 4;
    default: return 0;
    }
}

OptionValue make(OptionKind kind, uint32_t value = 0, bool settable = true)
{
    OptionValue v;
    v.kind = kind;
    v.value = value;
    v.settable = settable;
    return v;
}

} // namespace

EntityModule::EntityModule(const ModuleIdentity& id) : identity_(id)
{
    using K = OptionKind;
    auto sys = [this](uint8_t opt, OptionValue v) { options_[Key(kCmdSystem, 0, opt)] = v; };
    sys(1, make(K::Byte, id.address, false));
    sys(2, make(K::Byte, id.router));
    sys(3, make(K::Byte, 10));
    sys(4, make(K::Byte, 0));
    sys(6, make(K::Byte, 0));
    sys(7, make(K::Int, id.version, false));
    sys(8, make(K::Byte, id.model, false));
    sys(9, make(K::Int, id.serialNumber, false));
    sys(10, make(K::Call));
    sys(11, make(K::Call));
    sys(12, make(K::Int, 5000, false));
    for (uint8_t opt : {13, 14, 16, 29})
        sys(opt, make(K::Byte, 0, false));
    sys(15, make(K::Byte, 0));
    OptionValue route = make(K::Byte, 0);
    route.gettable = false;
    sys(20, route);
    for (uint8_t opt : {21, 22, 33, 35, 40, 41})
        sys(opt, make(K::Int, 0, false));
    sys(23, make(K::Int, uint32_t(-5), false));
    sys(24, make(K::Call));
    for (uint8_t opt : {25, 26, 27, 28})
        sys(opt, make(K::Int, uint32_t(-1000 - opt), false));
    sys(30, make(K::Byte, 0));
    OptionValue config = make(K::Bytes);
    sys(31, config);
    OptionValue name = make(K::Bytes);
    name.bytes.assign(id.name.begin(), id.name.end());
    sys(32, name);
    sys(34, make(K::Int, 2500));
    sys(36, make(K::Call));
    sys(37, make(K::Call));
    sys(38, make(K::Byte, 0));
    OptionValue fp = make(K::Int, 0, false);
    fp.subValues.assign(id.fingerprint, id.fingerprint + 4);
    sys(39, fp);
    sys(42, make(K::Byte, 255));
}

void EntityModule::setOption(uint8_t command, uint8_t index, uint8_t opt, const OptionValue& value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    options_[Key(command, index, opt)] = value;
}

OptionValue EntityModule::option(uint8_t command, uint8_t index, uint8_t opt) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = options_.find(Key(command, index, opt));
    return it == options_.end() ? OptionValue() : it->second;
}

bool EntityModule::hasOption(uint8_t command, uint8_t index, uint8_t opt) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return options_.count(Key(command, index, opt)) != 0;
}

void EntityModule::setEntityGroup(uint8_t command, uint8_t index, uint8_t group)
{
    std::lock_guard<std::mutex> lock(mutex_);
    groups_[{command, index}] = group;
}

void EntityModule::addI2CDevice(uint8_t busAddress, const std::vector<uint8_t>& contents)
{
    std::lock_guard<std::mutex> lock(mutex_);
    i2c_[uint8_t(busAddress & 0xFE)] = contents;
}

std::vector<uint8_t> EntityModule::i2cContents(uint8_t busAddress) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = i2c_.find(uint8_t(busAddress & 0xFE));
    return it == i2c_.end() ? std::vector<uint8_t>() : it->second;
}

void EntityModule::setI2CReadCount(int count)
{
    std::lock_guard<std::mutex> lock(mutex_);
    i2cReadCount_ = count;
}

void EntityModule::setI2CReadBytes(int bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    i2cReadBytes_ = bytes;
}

uint8_t EntityModule::lastI2CSpeed() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return i2cSpeed_;
}

bool EntityModule::pullup() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pullup_;
}

void EntityModule::setStreamRefusal(uint8_t code)
{
    std::lock_guard<std::mutex> lock(mutex_);
    streamRefusal_ = code;
}

std::vector<uint32_t> EntityModule::streamKeys() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return streamKeys_;
}

void EntityModule::onReset(std::function<void()> callback)
{
    std::lock_guard<std::mutex> lock(mutex_);
    onReset_ = std::move(callback);
}

int EntityModule::resets() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return resets_;
}

uint8_t EntityModule::routeToMe() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return routeToMe_;
}

std::vector<Packet> EntityModule::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

Packet EntityModule::reply(std::vector<uint8_t> data) const
{
    Packet p;
    p.address = identity_.address;
    p.data = std::move(data);
    return p;
}

void EntityModule::setCommandHandler(uint8_t command, CommandHandler handler)
{
    std::lock_guard<std::mutex> lock(mutex_);
    commandHandlers_[command] = std::move(handler);
}

std::vector<Packet> EntityModule::handle(const Packet& request)
{
    std::function<void()> reset;
    std::vector<Packet> out;
    CommandHandler plugged;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
        if (request.data.empty())
            return out;
        auto it = commandHandlers_.find(request.data[0]);
        if (it != commandHandlers_.end())
            plugged = it->second;
    }
    if (plugged)
        return plugged(request);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int resetsBefore = resets_;
        switch (request.data[0]) {
        case kCmdDebug:
            out.push_back(reply(request.data));
            break;
        case kCmdEntityInfo:
            out = entityInfo(request);
            break;
        case kCmdStream:
            out = stream(request);
            break;
        case kCmdI2C:
            out = i2c(request);
            break;
        case 0: case 1: case 2: case 4: case 9: case 24: case 94: case 95:
            break; // not entity payloads; their own emulators answer them
        default:
            out = entity(request);
            break;
        }
        if (resets_ != resetsBefore)
            reset = onReset_;
    }
    if (reset)
        reset();
    return out;
}

// One entity-protocol GET, SET or call: [command][option and its GET/SET bits][index]...
struct EntityModule::Request {
    const std::vector<uint8_t>* d = nullptr;
    uint8_t command = 0, opt = 0, index = 0;
    uint8_t replyOption = 0;   // the option byte of every reply, error replies included
    bool isGet = false;

    // False for a packet too short, or reply-shaped (a host's echo): no answer at all.
    bool parse(const std::vector<uint8_t>& data)
    {
        if (data.size() < 3)
            return false;
        d = &data;
        command = data[0];
        opt = uint8_t(data[1] & 0x3F);
        index = uint8_t(data[2] & kIndexMask);
        bool isSet = (data[1] & kOptSet) != 0;
        isGet = !isSet && (data[1] & kOptGet) != 0;
        replyOption = isSet ? uint8_t(opt | kOptSetReply) : opt;
        return isSet || isGet;
    }
};

Packet EntityModule::errorReply(const Request& q, uint8_t code, bool withCode) const
{
    std::vector<uint8_t> r = {q.command, q.replyOption, uint8_t(q.index | kSpecError)};
    if (withCode)
        r.push_back(code);
    return reply(r);
}

std::vector<Packet> EntityModule::entity(const Packet& request)
{
    Request q;
    if (!q.parse(request.data))
        return {};
    auto it = options_.find(Key(q.command, q.index, q.opt));
    if (it == options_.end()) {
        bool knownEntity = false;
        for (const auto& entry : options_)
            if (std::get<0>(entry.first) == q.command && std::get<1>(entry.first) == q.index)
                knownEntity = true;
        return {errorReply(q, knownEntity ? kEmuErrInvalidOption : kEmuErrInvalidEntity)};
    }
    OptionValue& v = it->second;
    if (v.errorCode || v.errorWithoutCode)
        return {errorReply(q, v.errorCode, !v.errorWithoutCode)};
    if ((q.isGet && !v.gettable) || (!q.isGet && !v.settable && v.kind != OptionKind::Call))
        return {errorReply(q, kEmuErrPermission)};
    if (q.isGet)
        return v.kind == OptionKind::Bytes ? getBytes(q, v) : getValue(q, v);
    v.calls++;
    switch (v.kind) {
    case OptionKind::Call:
        return call(q);
    case OptionKind::Bytes:
        return setBytes(q, v);
    default:
        return setValue(q, v);
    }
}

// A byte string goes out in chunks: [cmd][opt][index][bytes][trailer].
std::vector<Packet> EntityModule::getBytes(const Request& q, const OptionValue& v) const
{
    std::vector<Packet> out;
    size_t chunks = std::max<size_t>(1, (v.bytes.size() + kChunk - 1) / kChunk);
    for (size_t c = 0; c < chunks; c++) {
        std::vector<uint8_t> r = {q.command, q.opt, q.index};
        size_t from = c * kChunk;
        size_t n = std::min(kChunk, v.bytes.size() - std::min(from, v.bytes.size()));
        r.insert(r.end(), v.bytes.begin() + from, v.bytes.begin() + from + n);
        uint8_t trailer = uint8_t((c + v.firstChunkSequence) & 0x7F);
        if (c + 1 < chunks)
            trailer |= 0x80;
        r.push_back(trailer);
        Packet p = reply(r);
        if (c > 0)
            p.delayMs = v.chunkDelayMs;
        out.push_back(p);
    }
    return out;
}

std::vector<Packet> EntityModule::getValue(const Request& q, const OptionValue& v) const
{
    const std::vector<uint8_t>& d = *q.d;
    std::vector<uint8_t> r = {q.command, q.opt, q.index};
    uint32_t value = v.value;
    if (d.size() >= 4 && !v.subValues.empty()) {
        if (d[3] >= v.subValues.size())
            return {errorReply(q, kEmuErrInvalidOption)};
        value = v.subValues[d[3]];
    }
    if (v.replyValueBytes >= 0)
        r.resize(r.size() + size_t(v.replyValueBytes), 0x5A);
    else if (!v.replyWithoutValue)
        putBE(r, value, widthOf(v.kind));
    return {reply(r)};
}

std::vector<Packet> EntityModule::call(const Request& q)
{
    if (q.command == kCmdSystem && q.index == 0 && (q.opt == 11 || q.opt == 37))
        resets_++;
    return {reply({q.command, q.replyOption, q.index})};
}

// Chunks: [cmd][opt][specifier][bytes][trailer]; the whole string is answered once.
std::vector<Packet> EntityModule::setBytes(const Request& q, OptionValue& v)
{
    const std::vector<uint8_t>& d = *q.d;
    if (d.size() < 4)
        return {errorReply(q, kEmuErrPacket)};
    uint8_t trailer = d.back();
    int sequence = trailer & 0x7F;
    Key key(q.command, q.index, q.opt);
    if (sequence == 0) {
        pendingKey_ = key;
        pendingBytes_.clear();
        pendingSequence_ = 0;
    }
    if (pendingSequence_ != sequence || !(pendingKey_ == key)) {
        pendingSequence_ = -1;
        return {errorReply(q, kEmuErrPacket)};
    }
    pendingBytes_.insert(pendingBytes_.end(), d.begin() + 3, d.end() - 1);
    if (trailer & 0x80) {
        pendingSequence_++;
        return {}; // more chunks follow
    }
    v.bytes = pendingBytes_;
    pendingSequence_ = -1;
    return {reply({q.command, q.replyOption, q.index})};
}

std::vector<Packet> EntityModule::setValue(const Request& q, OptionValue& v)
{
    const std::vector<uint8_t>& d = *q.d;
    int width = widthOf(v.kind);
    size_t at = 3;
    if (d.size() == size_t(3 + width + 1))
        at = 4; // subindex form: the subindex byte before the value
    if (d.size() < at + width)
        return {errorReply(q, kEmuErrPacket)};
    uint32_t value = getBE(&d[at], width);
    if (at == 4 && d[3] < v.subValues.size())
        v.subValues[d[3]] = value;
    else
        v.value = value;
    if (q.command == kCmdSystem && q.index == 0 && q.opt == 20)
        routeToMe_ = uint8_t(value);
    std::vector<uint8_t> r = {q.command, q.replyOption, q.index};
    putBE(r, value, width);
    return {reply(r)};
}

std::vector<Packet> EntityModule::entityInfo(const Packet& request)
{
    const std::vector<uint8_t>& d = request.data;
    std::vector<Packet> out;
    if (d.size() < 2)
        return out;
    auto count = [&](uint8_t command, int index) {
        std::set<int> seen;
        for (const auto& entry : options_)
            if (std::get<0>(entry.first) == command
                && (index < 0 || std::get<1>(entry.first) == index))
                seen.insert(index < 0 ? std::get<1>(entry.first) : std::get<2>(entry.first));
        return uint8_t(seen.size());
    };
    switch (d[1]) {
    case 1: // has UEI: [73][1][cmd][opt][idx][flags]
        if (d.size() >= 6) {
            uint8_t answer = 0;
            auto it = options_.find(Key(d[2], d[4], d[3]));
            if (count(d[2], d[4]) == 0)
                answer = kEmuErrInvalidEntity;
            else if (it == options_.end())
                answer = kEmuErrInvalidOption;
            else if ((d[5] == 0x40 && !it->second.gettable)
                     || (d[5] == 0x80 && !it->second.settable))
                answer = kEmuErrPermission;
            out.push_back(reply({kCmdEntityInfo, 1, d[2], d[3], d[4], answer}));
        }
        break;
    case 4:
        if (d.size() >= 3)
            out.push_back(reply({kCmdEntityInfo, 4, d[2], count(d[2], -1)}));
        break;
    case 5:
        if (d.size() >= 4)
            out.push_back(reply({kCmdEntityInfo, 5, d[2], d[3], count(d[2], d[3])}));
        break;
    case 6:
        if (d.size() >= 4) {
            auto it = groups_.find({d[2], d[3]});
            uint8_t group = it == groups_.end() ? 0 : it->second;
            out.push_back(reply({kCmdEntityInfo, 6, d[2], d[3], group}));
        }
        break;
    case 0xFF: {
        std::vector<uint8_t> r = {kCmdEntityInfo, 0xFF};
        putBE(r, identity_.build, 4);
        out.push_back(reply(r));
        break;
    }
    default:
        break;
    }
    return out;
}

std::vector<Packet> EntityModule::stream(const Packet& request)
{
    const std::vector<uint8_t>& d = request.data;
    std::vector<Packet> out;
    if (d.size() < 3)
        return out;
    uint8_t op = d[1];
    if (op == 0x41) {
        out.push_back(reply({kCmdStream, 1, 0, uint8_t(streamKeys_.empty() ? 0 : 1)}));
        return out;
    }
    if ((op != 0x81 && op != 0x82) || d.size() < 7)
        return out;
    uint8_t replyOp = uint8_t((op & 0x3F) | kOptSetReply);
    if (streamRefusal_) {
        out.push_back(reply({kCmdStream, replyOp, kSpecError, streamRefusal_}));
        return out;
    }
    uint32_t key = getBE(&d[3], 4);
    if (op == 0x81)
        streamKeys_.push_back(key);
    else
        streamKeys_.erase(std::remove(streamKeys_.begin(), streamKeys_.end(), key),
                          streamKeys_.end());
    std::vector<uint8_t> r = {kCmdStream, replyOp, 0};
    putBE(r, key, 4);
    out.push_back(reply(r));
    return out;
}

std::vector<Packet> EntityModule::i2c(const Packet& request)
{
    const std::vector<uint8_t>& d = request.data;
    std::vector<Packet> out;
    if (d.size() < 4)
        return out;
    uint8_t index = d[1], address = d[2];
    if (d.size() == 4 && address == 1) { // pull-ups: [8][index][1][on]
        pullup_ = d[3] != 0;
        out.push_back(reply({kCmdI2C, index, 1, d[3], 0}));
        return out;
    }
    if (d.size() < 5)
        return out;
    uint8_t length = d[3];
    i2cSpeed_ = d[4];
    auto device = i2c_.find(uint8_t(address & 0xFE));
    bool present = device != i2c_.end();
    uint8_t nak = uint8_t(0x80 | kEmuErrNotFound);
    if (address & 1) { // read
        std::vector<uint8_t> r = {kCmdI2C, index, address};
        if (!present) {
            r.push_back(0);
            r.push_back(nak);
            out.push_back(reply(r));
            return out;
        }
        size_t carry = i2cReadBytes_ >= 0 ? size_t(i2cReadBytes_) : length;
        std::vector<uint8_t> bytes(device->second.begin(),
                                   device->second.begin()
                                       + std::min(carry, device->second.size()));
        bytes.resize(carry, 0);
        r.push_back(uint8_t(i2cReadCount_ >= 0 ? i2cReadCount_ : int(bytes.size())));
        r.push_back(0);
        r.insert(r.end(), bytes.begin(), bytes.end());
        r.resize(std::min<size_t>(r.size(), 28));
        out.push_back(reply(r));
        return out;
    }
    // write: [8][index][address][length][speed][data]
    if (present && d.size() >= size_t(5 + length))
        device->second.assign(d.begin() + 5, d.begin() + 5 + length);
    out.push_back(reply({kCmdI2C, index, address, 0, uint8_t(present ? 0 : nak)}));
    return out;
}

Packet EntityModule::streamSample(uint8_t address, uint8_t command, uint8_t option,
                                     uint8_t index, uint8_t kind, uint32_t value,
                                     uint64_t timestamp, uint8_t subindex)
{
    Packet p;
    p.address = address;
    p.data = {command, uint8_t(option & 0x3F), uint8_t((index & kIndexMask) | 0x40), kind};
    if (kind >= 5)
        p.data.push_back(subindex);
    putBE(p.data, uint32_t(timestamp >> 32), 4);
    putBE(p.data, uint32_t(timestamp), 4);
    int width = (kind == 1 || kind == 5) ? 1 : (kind == 2 || kind == 6) ? 2 : 4;
    putBE(p.data, value, width);
    p.data.push_back(0);
    return p;
}

EntityModule& ModuleNetwork::add(const ModuleIdentity& identity)
{
    modules_.push_back(std::make_unique<EntityModule>(identity));
    // The router sees every module behind it as a device on its I2C bus, so an address probe
    // finds them.
    if (modules_.size() > 1)
        modules_.front()->addI2CDevice(identity.address, {0, 0});
    return *modules_.back();
}

EntityModule* ModuleNetwork::find(uint8_t address)
{
    for (auto& m : modules_)
        if (m->identity().address == address)
            return m.get();
    return nullptr;
}

EntityModule& ModuleNetwork::front() { return *modules_.front(); }

bool ModuleNetwork::reaches(const EntityModule* module) const
{
    if (!requireRouting_ || modules_.empty() || module == modules_.front().get())
        return true;
    return modules_.front()->routeToMe() != 0;
}

std::vector<Packet> ModuleNetwork::handle(const Packet& request)
{
    EntityModule* m = find(request.address);
    return m && reaches(m) ? m->handle(request) : std::vector<Packet>();
}

} // namespace module_emu
