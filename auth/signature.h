// The signature policy: whether a component may be installed on this switch.
#pragma once

#include <cstdint>
#include <span>

// Decides whether the component (exactly its bytes, header first) may be
// installed, printing the verdict and, where the policy lets the operator
// decide, asking. 1 to install, 0 to reject. Nothing outside `component` is
// read, whatever its header claims.
int imgsign_verifyImage(std::span<const std::uint8_t> component);

// The answer for a component that carries no signature: 1 to install, 0 to
// reject.
int imgsign_checkUnsigned();

// 1 when the switch runs developer images (the root filesystem in flash is
// signed with the development key or is not a format-3 container). Tested
// once per process; the answer is kept.
int imgsign_developerImages();

// Forgets the developer-images answer, as a new boot would. For tests.
void imgsign_forgetDeveloperImages();
