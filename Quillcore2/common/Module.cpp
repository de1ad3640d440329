// Module: connecting with auto-networking, and the module's own raw queries.
#include "Module.h"

#include <memory>
#include <string.h>

#include "aDebug.h"
#include "aTime.h"

namespace Velmoran {
namespace Quillcore {

#define sADDRESS_TRIES 4
#define sADDRESS_RETRY_MS 5

Module::Module(unsigned char address, unsigned char model_)
    : Module(address, true, model_)
{
}

Module::Module(unsigned char address, bool autoNetworking, unsigned char model_)
    : link(std::make_unique<Link>("Link")), moduleAddress(address), networkingMode(autoNetworking),
      model(model_)
{
}

Module::~Module() = default;

aErr Module::connect(linkType type, u32 serialNumber)
{
    if (serialNumber == 0)
        return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, u32 serialNumber)
{
    if (!link)
        return aErrInitialization;
    aErr err = link->discoverAndConnect(type, serialNumber, model);
    return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::connectFromSpec(linkSpec linkSpecifier)
{
    if (!link)
        return aErrInitialization;
    if (link->isConnected())
        return aErrBusy;
    link->setLinkSpecifier(linkSpecifier);
    aErr err = link->connect();
    return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::reconnect()
{
    if (!link)
        return aErrInitialization;
    aErr err = link->connect();
    return err == aErrNone ? _autoNetwork() : err;
}

aErr Module::_autoNetwork()
{
    if (!networkingMode || !link)
        return aErrNone;
    u8 address = 0;
    aErr err = aErrNotReady;
    for (int tries = 0; err == aErrNotReady && tries < sADDRESS_TRIES; tries++) {
        err = link->getModuleAddress(&address);
        if (err != aErrNone)
            aTime_MSSleep(sADDRESS_RETRY_MS);
    }
    if (err != aErrNone)
        aTRACE(aDEBUG_AUTONETWORKING, "Module address query failed: err: %d\n", (int)err);
    if (address != 0 && address != moduleAddress) {
        aTRACE(aDEBUG_AUTONETWORKING, "Adopted module address: %d (was %d)\n", (int)address,
               (int)moduleAddress);
        moduleAddress = address;
    }
    return err;
}

aErr Module::connectThroughLinkModule(Module* other)
{
    if (!link)
        return aErrInitialization;
    if (link->isConnected())
        return aErrNone;
    if (!other || !other->link)
        return aErrInitialization;
    linkSpec linkSpecifier;
    aErr err = other->getLinkSpecifier(&linkSpecifier);
    aEtherConfig config;
    if (err == aErrNone)
        err = other->link->getConfig(&config);
    if (err == aErrNone)
        err = link->setConfig(config);
    // With sharing on, the other module is reached through its sharing server: connect to
    // the same server, and so to the other Link's client link.
    if (err == aErrNone && config.enabled) {
        linkSpecifier.type = AETHER;
        linkSpecifier.t.ip.ipAddress = config.networkInterface;
        linkSpecifier.t.ip.ipPort = config.assignedPort;
    }
    if (err == aErrNone)
        err = link->setLinkSpecifier(linkSpecifier);
    if (err == aErrNone)
        err = link->connectThroughLinkModule(*other->link);
    if (err == aErrNone)
        networkingMode = false;
    return err;
}

bool Module::isConnected() { return link && link->isConnected(); }

aLinkStatus Module::getStatus() { return link ? link->getStatus() : kLinkStatusError; }

aErr Module::disconnect() { return link ? link->disconnect() : aErrInitialization; }

unsigned char Module::getModuleAddress() const { return moduleAddress; }

void Module::setModuleAddress(unsigned char address) { moduleAddress = address; }

Link* Module::getLink() const { return link.get(); }

aErr Module::getLinkSpecifier(linkSpec* linkSpecifier)
{
    return link ? link->getLinkSpecifier(linkSpecifier) : aErrNotReady;
}

aErr Module::getConfig(aEtherConfig* config)
{
    if (!link)
        return aErrNotReady;
    return link->getConfig(config);
}

aErr Module::setConfig(aEtherConfig config)
{
    return link ? link->setConfig(config) : aErrNotReady;
}

void Module::setNetworkingMode(bool autoNetworking) { networkingMode = autoNetworking; }

aErr Module::enablePacketLog(const char* path)
{
    return link ? link->enablePacketLog(path) : aErrConfiguration;
}

aErr Module::disablePacketLog() { return link ? link->disablePacketLog() : aErrConfiguration; }

// Selects packets whose command byte is the one ref points to.
static unsigned char sCommandOf(const aPacket* packet, const void* ref)
{
    return packet->length >= 1 && packet->data[0] == *static_cast<const u8*>(ref) ? 1 : 0;
}

// A query takes the next reply with its command byte, so one that came after an earlier
// query gave up is dropped before the next is sent.
static void sDropLateReplies(Link& link, u8 command)
{
    aLinkId id = link.getLinkId();
    if (id)
        aLink_DrainPackets(id, sCommandOf, &command);
}

aErr Module::debug(const unsigned char* data, unsigned char n)
{
    if (!isConnected())
        return aErrConnection;
    sDropLateReplies(*link, cmdDEBUG);
    aErr err = link->sendPacket(moduleAddress, cmdDEBUG, n, data);
    if (err != aErrNone)
        return err;
    u8 match = cmdDEBUG;
    u8 length = 1;
    u8 reply[aPACKETMAXDATA];
    err = link->receivePacket(moduleAddress, &match, &length, reply);
    if (err != aErrNone)
        return err;
    if (length != n + 1 || (n && memcmp(&reply[1], data, n) != 0))
        return aErrIO;
    return aErrNone;
}

// Sends [73][request] and takes the next command-73 reply; aErrUnknown unless it has
// replyLength data bytes that repeat the request's bytes; *answer is the last reply byte.
aErr Module::_entityQuery(const unsigned char* request, unsigned char length,
                          unsigned char replyLength, unsigned char* answer)
{
    sDropLateReplies(*link, cmdENTITYINFO);
    aErr err = link->sendPacket(moduleAddress, cmdENTITYINFO, length, request);
    if (err != aErrNone)
        return err;
    u8 match = cmdENTITYINFO;
    u8 got = 1;
    u8 reply[aPACKETMAXDATA];
    err = link->receivePacket(moduleAddress, &match, &got, reply);
    if (err != aErrNone)
        return err;
    if (got != replyLength || memcmp(&reply[1], request, (size_t)replyLength - 2) != 0)
        return aErrUnknown;
    *answer = reply[replyLength - 1];
    return aErrNone;
}

aErr Module::hasUEI(unsigned char command, unsigned char option, unsigned char index,
                    unsigned char flags)
{
    if ((flags & 0x3F) || flags == 0xC0)
        return aErrParam;
    if (!isConnected())
        return aErrConnection;
    const u8 request[5] = {val_ENTITY_HAS_UEI, command, option, index, flags};
    u8 answer = 0;
    aErr err = _entityQuery(request, 5, 6, &answer);
    return err == aErrNone ? (aErr)answer : err;
}

aErr Module::classQuantity(unsigned char command, unsigned char* count)
{
    if (!count)
        return aErrParam;
    *count = 0;
    if (!isConnected())
        return aErrConnection;
    const u8 request[2] = {val_ENTITY_CLASS_QUANTITY, command};
    return _entityQuery(request, 2, 4, count);
}

aErr Module::subClassQuantity(unsigned char command, unsigned char index, unsigned char* count)
{
    if (!count)
        return aErrParam;
    *count = 0;
    if (!isConnected())
        return aErrConnection;
    const u8 request[3] = {val_ENTITY_SUBCLASS_QUANTITY, command, index};
    return _entityQuery(request, 3, 5, count);
}

aErr Module::entityGroup(unsigned char command, unsigned char index, unsigned char* group)
{
    if (!group)
        return aErrParam;
    *group = 0;
    if (!isConnected())
        return aErrConnection;
    const u8 request[3] = {val_ENTITY_GROUP, command, index};
    return _entityQuery(request, 3, 5, group);
}

} // namespace Quillcore
} // namespace Velmoran
