// SystemClass: one typed entity-protocol operation per system option.
#include "SystemClass.h"

namespace Velmoran {
namespace Quillcore {

SystemClass::SystemClass() {}
SystemClass::~SystemClass() {}

void SystemClass::init(Module* module, unsigned char index) { EntityClass::init(module, cmdSYSTEM, index); }

aErr SystemClass::getModule(unsigned char* value) { return getUEI8(1, value); }
aErr SystemClass::getRouter(unsigned char* value) { return getUEI8(2, value); }
aErr SystemClass::setRouter(unsigned char value) { return setUEI8(2, value); }
aErr SystemClass::getHBInterval(unsigned char* value) { return getUEI8(3, value); }
aErr SystemClass::setHBInterval(unsigned char value) { return setUEI8(3, value); }
aErr SystemClass::getLED(unsigned char* value) { return getUEI8(4, value); }
aErr SystemClass::setLED(unsigned char value) { return setUEI8(4, (unsigned char)(value ? 1 : 0)); }
aErr SystemClass::getBootSlot(unsigned char* value) { return getUEI8(6, value); }
aErr SystemClass::setBootSlot(unsigned char value) { return setUEI8(6, value); }
aErr SystemClass::getVersion(unsigned int* value) { return getUEI32(7, value); }
aErr SystemClass::getModel(unsigned char* value) { return getUEI8(8, value); }
aErr SystemClass::getSerialNumber(unsigned int* value) { return getUEI32(9, value); }
aErr SystemClass::getInputVoltage(unsigned int* value) { return getUEI32(12, value); }
aErr SystemClass::getModuleHardwareOffset(unsigned char* value) { return getUEI8(13, value); }
aErr SystemClass::getModuleBaseAddress(unsigned char* value) { return getUEI8(14, value); }
aErr SystemClass::getModuleSoftwareOffset(unsigned char* value) { return getUEI8(15, value); }
aErr SystemClass::setModuleSoftwareOffset(unsigned char value) { return setUEI8(15, value); }
aErr SystemClass::getRouterAddressSetting(unsigned char* value) { return getUEI8(16, value); }
aErr SystemClass::routeToMe(unsigned char value) { return setUEI8(20, value); }
aErr SystemClass::getInputCurrent(unsigned int* value) { return getUEI32(21, value); }
aErr SystemClass::getUptime(unsigned int* value) { return getUEI32(22, value); }
aErr SystemClass::getMaximumTemperature(int* value) { return getUEI32(23, (unsigned int*)value); }
aErr SystemClass::getUnregulatedVoltage(int* value) { return getUEI32(25, (unsigned int*)value); }
aErr SystemClass::getUnregulatedCurrent(int* value) { return getUEI32(26, (unsigned int*)value); }
aErr SystemClass::getTemperature(int* value) { return getUEI32(27, (unsigned int*)value); }
aErr SystemClass::getMinimumTemperature(int* value) { return getUEI32(28, (unsigned int*)value); }
aErr SystemClass::getInputPowerSource(unsigned char* value) { return getUEI8(29, value); }
aErr SystemClass::getInputPowerBehavior(unsigned char* value) { return getUEI8(30, value); }
aErr SystemClass::setInputPowerBehavior(unsigned char value) { return setUEI8(30, value); }
aErr SystemClass::getPowerLimit(unsigned int* value) { return getUEI32(33, value); }
aErr SystemClass::getPowerLimitMax(unsigned int* value) { return getUEI32(34, value); }
aErr SystemClass::setPowerLimitMax(unsigned int value) { return setUEI32(34, value); }
aErr SystemClass::getPowerLimitState(unsigned int* value) { return getUEI32(35, value); }
aErr SystemClass::getLinkInterface(unsigned char* value) { return getUEI8(38, value); }
aErr SystemClass::setLinkInterface(unsigned char value) { return setUEI8(38, value); }
aErr SystemClass::getHardwareVersion(unsigned int* value) { return getUEI32(40, value); }
aErr SystemClass::getErrors(unsigned int* value) { return getUEI32(41, value); }
aErr SystemClass::getLEDMaxBrightness(unsigned char* value) { return getUEI8(42, value); }
aErr SystemClass::setLEDMaxBrightness(unsigned char value) { return setUEI8(42, value); }
aErr SystemClass::save() { return callUEI(10); }
aErr SystemClass::reset() { return callUEI(11); }
aErr SystemClass::logEvents() { return callUEI(24); }
aErr SystemClass::resetEntityToFactoryDefaults() { return callUEI(36); }
aErr SystemClass::resetDeviceToFactoryDefaults() { return callUEI(37); }

aErr SystemClass::getName(unsigned char* buffer, unsigned long capacity, unsigned long* received)
{
    return getUEIBytes(32, buffer, capacity, received);
}

aErr SystemClass::setName(unsigned char* name, unsigned long length) { return setUEIBytes(32, name, length); }

aErr SystemClass::getInputPowerBehaviorConfig(unsigned int* words, unsigned long count,
                                              unsigned long* received)
{
    aErr err = getUEIBytes(31, (unsigned char*)words, count * sizeof(unsigned int), received);
    if (err != aErrNone)
        return err;
    return getUEIBytesCheck(received, sizeof(unsigned int));
}

aErr SystemClass::setInputPowerBehaviorConfig(unsigned int* words, unsigned long count)
{
    return setUEIBytes(31, (const unsigned char*)words, count * sizeof(unsigned int));
}

} // namespace Quillcore
} // namespace Velmoran
