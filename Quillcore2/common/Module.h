// One device module: owns one Link for its whole life and carries the address every packet
// to it bears; connects by serial number, from a link specifier, again, or through another
// module's link (a module behind a routing module).
#ifndef _Module_H_
#define _Module_H_

#include <memory>

#include "Link.h"

#define cmdDEBUG 23
#define cmdENTITYINFO 73
#define val_ENTITY_HAS_UEI 1
#define val_ENTITY_CLASS_QUANTITY 4
#define val_ENTITY_SUBCLASS_QUANTITY 5
#define val_ENTITY_GROUP 6
#define val_ENTITY_BUILD_NUMBER 0xFF

namespace Velmoran {
namespace Quillcore {

class Module {
public:
    // Auto-networking on: after a direct connect the module adopts the address the device
    // reports. model 0 means any model when connecting without a serial number.
    Module(unsigned char address, unsigned char model);
    Module(unsigned char address, bool autoNetworking, unsigned char model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // Discovery by serial number, then connect and learn the address. aErrParam for serial 0;
    // aErrNotFound when discovery finds nothing; aErrNotReady when the device never reported
    // its address (the link stays connected).
    aErr connect(linkType type, u32 serialNumber);
    // As connect; serial 0 takes the first device of the module's model.
    aErr discoverAndConnect(linkType type, u32 serialNumber);
    // Connects to the device the specifier names; aErrBusy while connected.
    aErr connectFromSpec(linkSpec linkSpecifier);
    // Connects again with the stored specifier.
    aErr reconnect();
    // Shares other's engine link (one more use); auto-networking goes off, the address stays.
    // aErrNone at once when already connected.
    aErr connectThroughLinkModule(Module* other);
    bool isConnected();
    aLinkStatus getStatus();
    aErr disconnect();

    unsigned char getModuleAddress() const;
    void setModuleAddress(unsigned char address);
    Link* getLink() const;
    aErr getLinkSpecifier(linkSpec* linkSpecifier);
    aErr getConfig(aEtherConfig* config);
    aErr setConfig(aEtherConfig config);
    void setNetworkingMode(bool autoNetworking);

    // The Link's packet log (aErrConfiguration without a Link).
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();
    // Echo test of n bytes (at most 27): aErrIO when the reply differs.
    aErr debug(const unsigned char* data, unsigned char n);
    // Entity information (command 73). hasUEI returns the module's answer; flags 0, 0x40
    // (GET) or 0x80 (SET), else aErrParam.
    aErr hasUEI(unsigned char command, unsigned char option, unsigned char index,
                unsigned char flags);
    aErr classQuantity(unsigned char command, unsigned char* count);
    aErr subClassQuantity(unsigned char command, unsigned char index, unsigned char* count);
    aErr entityGroup(unsigned char command, unsigned char index, unsigned char* group);

private:
    aErr _autoNetwork();
    aErr _entityQuery(const unsigned char* request, unsigned char length, unsigned char replyLength,
                      unsigned char* answer);

    std::unique_ptr<Link> link;
    unsigned char moduleAddress;
    bool networkingMode;
    unsigned char model;
};

} // namespace Quillcore
} // namespace Velmoran

#endif
