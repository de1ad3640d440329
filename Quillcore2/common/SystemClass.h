// The system entity (command 3): the module's address, router, identity, version, readings,
// names and resets, each one option of the entity protocol.
#ifndef _SystemClass_H_
#define _SystemClass_H_

#include "Entity.h"

#define cmdSYSTEM 3
#define sysFINGERPRINT 39

namespace Velmoran {
namespace Quillcore {

class SystemClass : public EntityClass {
public:
    SystemClass();
    virtual ~SystemClass();
    // Binds command 3 with the index (0 for the module's own system entity).
    void init(Module* module, unsigned char index);

    // Each returns the typed get, set or call's result (Entity.h) unchanged.
    aErr getModule(unsigned char* value);
    aErr getRouter(unsigned char* value);
    aErr setRouter(unsigned char value);
    aErr getHBInterval(unsigned char* value);
    aErr setHBInterval(unsigned char value);
    aErr getLED(unsigned char* value);
    aErr setLED(unsigned char value);
    aErr getBootSlot(unsigned char* value);
    aErr setBootSlot(unsigned char value);
    aErr getVersion(unsigned int* value);
    aErr getModel(unsigned char* value);
    aErr getSerialNumber(unsigned int* value);
    aErr getInputVoltage(unsigned int* value);
    aErr getModuleHardwareOffset(unsigned char* value);
    aErr getModuleBaseAddress(unsigned char* value);
    aErr getModuleSoftwareOffset(unsigned char* value);
    aErr setModuleSoftwareOffset(unsigned char value);
    aErr getRouterAddressSetting(unsigned char* value);
    aErr routeToMe(unsigned char value);
    aErr getInputCurrent(unsigned int* value);
    aErr getUptime(unsigned int* value);
    aErr getMaximumTemperature(int* value);
    aErr getUnregulatedVoltage(int* value);
    aErr getUnregulatedCurrent(int* value);
    aErr getTemperature(int* value);
    aErr getMinimumTemperature(int* value);
    aErr getInputPowerSource(unsigned char* value);
    aErr getInputPowerBehavior(unsigned char* value);
    aErr setInputPowerBehavior(unsigned char value);
    aErr getPowerLimit(unsigned int* value);
    aErr getPowerLimitMax(unsigned int* value);
    aErr setPowerLimitMax(unsigned int value);
    aErr getPowerLimitState(unsigned int* value);
    aErr getLinkInterface(unsigned char* value);
    aErr setLinkInterface(unsigned char value);
    aErr getHardwareVersion(unsigned int* value);
    aErr getErrors(unsigned int* value);
    aErr getLEDMaxBrightness(unsigned char* value);
    aErr setLEDMaxBrightness(unsigned char value);
    aErr save();
    aErr reset();
    aErr logEvents();
    aErr resetEntityToFactoryDefaults();
    aErr resetDeviceToFactoryDefaults();
    // Option 32, a byte string.
    aErr getName(unsigned char* buffer, unsigned long capacity, unsigned long* received);
    aErr setName(unsigned char* name, unsigned long length);
    // Option 31, a byte string of 32-bit words (host byte order); *received counts words,
    // or bytes when the device sent a count that is no multiple of 4 (aErrMemory).
    aErr getInputPowerBehaviorConfig(unsigned int* words, unsigned long count, unsigned long* received);
    aErr setInputPowerBehaviorConfig(unsigned int* words, unsigned long count);
};

} // namespace Quillcore
} // namespace Velmoran

#endif
