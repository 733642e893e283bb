// What the installer does with each component type: where it goes, the
// size limit, and whether the signature policy is asked. Shared with the
// host tool, so that `imgtool verify` reports what the switch will do.
#pragma once

#include <cstdint>

#include "image/container.h"

struct InstallRule {
    ComponentType type;
    // Bytes measured against the limit: the payload when only the payload
    // goes to flash (boot loader, ONIE), the whole component otherwise.
    bool payload_only;
    std::uint32_t limit;  // 0: no limit
    bool needs_signature;
    const char* destination;
};

inline constexpr InstallRule kInstallRules[] = {
    {ComponentType::Application, false, 0, true, "image slot /user/images/image1 or image2"},
    {ComponentType::BootLoader, true, 0x80000, false, "flash /dev/mtd-uboot (payload)"},
    {ComponentType::Kernel, false, 0x300000, true, "flash /dev/mtd-kernel"},
    {ComponentType::RootFilesystem, false, 0x500000, true, "flash /dev/mtd-rfs"},
    {ComponentType::DeviceTree, false, 0x20000, true, "flash /dev/mtd-devicetree"},
    {ComponentType::Diagnostics, false, 0x700000, false, "flash /dev/mtd-rescue"},
    {ComponentType::OrvexApplication, true, 0, false, "eMMC partition 2 or 3 (payload, gunzip)"},
    {ComponentType::Onie, true, 0x3E0000, true, "flash /dev/mtd-onie (payload)"},
};

// The rule of a type (`magic` with the flag bit clear); null for a type
// the installer passes over.
inline const InstallRule* install_rule_of(std::uint32_t type) {
    for (const InstallRule& rule : kInstallRules) {
        if (type == image_type_magic(rule.type)) {
            return &rule;
        }
    }
    return nullptr;
}
