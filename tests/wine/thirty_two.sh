# Sourced by the scripts that run 32-bit Windows programs under Wine:
# why_not_32_bit prints why they cannot run here, or nothing when they can.
# The 32-bit loader missing (Debian package wine32) and a kernel that refuses
# 32-bit programs (built without IA-32 emulation, common in virtual machines
# and containers: "Exec format error") are told apart by running the loader.
why_not_32_bit() {
  local loader=/usr/lib/wine/wine out
  if [ ! -x "$loader" ]; then
    echo "the 32-bit Wine loader is not installed (Debian package wine32)"
  elif ! out=$("$loader" --version 2>&1); then
    echo "this kernel cannot execute 32-bit programs (the 32-bit Wine loader said: ${out:-nothing})"
  fi
}
