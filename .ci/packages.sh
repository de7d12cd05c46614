#!/bin/bash
# The Debian packages, amd64 and arm64: built with the documented commands,
# clean under lintian, and marnel-dkms installed on this machine: dkms must
# build the module for every installed kernel that has headers, the VM test
# then boots that module, and removing the package removes it again.
set -euo pipefail
cd "$(dirname "$0")/.."

rm -f build/package/*.deb
cmake --workflow --preset package >build/package.log 2>&1 || { cat build/package.log; exit 1; }
tools=$(ls build/package/marnel-tools_*.deb)
dkms_deb=$(ls build/package/marnel-dkms_*.deb)
version=$(dpkg-deb -f "$tools" Version)
echo "packages: $tools $dkms_deb"
lintian --fail-on error,warning "$tools" "$dkms_deb"
# marnel-tools for arm64, from the cross build, the same way.
rm -f build/package-arm64/*.deb
cmake --workflow --preset package-arm64 >build/package-arm64.log 2>&1 ||
	{ cat build/package-arm64.log; exit 1; }
tools_arm64=$(ls build/package-arm64/marnel-tools_*_arm64.deb)
[ "$(dpkg-deb -f "$tools_arm64" Architecture)" = arm64 ] || { echo "$tools_arm64 is not arm64" >&2; exit 1; }
echo "packages: $tools_arm64 ($(dpkg-deb -f "$tools_arm64" Depends))"
lintian --fail-on error,warning "$tools_arm64"

kernels=()
for build in /lib/modules/*/build; do
	[ -d "$build" ] || continue
	k=${build#/lib/modules/}
	kernels+=("${k%/build}")
done
[ ${#kernels[@]} -gt 0 ] || { echo "packages: no installed kernel has headers" >&2; exit 1; }

cleanup() { apt-get remove -y marnel-dkms >/dev/null 2>&1 || true; }
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "./$dkms_deb" \
	>build/dkms-install.log 2>&1 || { cat build/dkms-install.log; exit 1; }
for k in "${kernels[@]}"; do
	ko=$(modinfo -k "$k" -n marnel 2>/dev/null) || { echo "dkms built no module for $k" >&2; exit 1; }
	[ "$(modinfo -F version "$ko")" = "$version" ] || { echo "$ko is not version $version" >&2; exit 1; }
	echo "packages: dkms built $ko"
done

# The VM boots an installed kernel with the module dkms built for it.
kver=${kernels[0]}
ko=$(modinfo -k "$kver" -n marnel)
# ./check.sh has run the scenario at length on this kernel: shorter counts.
MARNEL_VM_MODULE=$ko MARNEL_VERSION=$version MARNEL_KILL_ROUNDS=50 MARNEL_STRESS_SECONDS=4 \
	MARNEL_BALANCED_WRITES=250000 vm/run.sh build/default/bin build/vm-dkms "$kver" \
	>build/vm-dkms.log 2>&1 || { cat build/vm-dkms.log; exit 1; }
grep -E '^(booting|PASSED)' build/vm-dkms.log

DEBIAN_FRONTEND=noninteractive apt-get remove -y marnel-dkms >/dev/null
for k in "${kernels[@]}"; do
	if modinfo -k "$k" -n marnel >/dev/null 2>&1; then
		echo "removing marnel-dkms left the module in $k" >&2
		exit 1
	fi
done
[ -z "$(dkms status -m marnel)" ] || { echo "removing marnel-dkms left it in dkms" >&2; exit 1; }
echo "packages: PASSED (lintian clean, dkms built and removed for ${kernels[*]})"
