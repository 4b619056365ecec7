#!/usr/bin/env bash
# Makes the Windows installer from the files of the zip: make-msi.sh STAGE VERSION OUT.msi
# STAGE is the zip's folder (quill.exe, quill-cli.exe, README.txt, LICENSE.txt), VERSION the
# product version (x.y.z) the MSI carries; scripts/package-windows.sh calls it with the project's
# version, the installer's test with a higher one to upgrade to. The WiX source is
# installer/quill.wxs; wixl builds it, msibuild then adds what wixl has no element for.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
stage="$(realpath "$1")"
version="$2"
out="$3"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# The icon of the shortcut and of "Apps & features": quill.exe's own (program/CMakeLists.txt).
python3 "$root/resources/icons/make_ico.py" "$work/quill.ico" \
  "$root"/resources/icons/icon-{129,128,48}.png
# One product code per version, derived from the upgrade code: the same version built again is
# the same product (Windows Installer finds it installed) instead of a second entry beside the first.
upgrade_code="$(sed -n 's/.*UpgradeCode="\([0-9A-F-]*\)".*/\1/p' "$root/installer/quill.wxs")"
product_code="$(python3 -c 'import sys, uuid; print(str(uuid.uuid5(uuid.UUID(sys.argv[1]), sys.argv[2])).upper())' \
  "$upgrade_code" "$version")"
# wixl looks for the files of the WiX source in its working folder only.
ln -s "$stage" "$work/stage"
(cd "$work" && wixl -a x64 -D Version="$version" -D ProductCode="$product_code" -D Stage=stage \
  -D Icon=quill.ico -o quill.msi "$root/installer/quill.wxs")
# The installation folder on the user's PATH: appended to it ([~];) on installation, and only
# that part taken out again on removal (-); both actions at their places of the standard sequence.
msibuild "$work/quill.msi" \
  -q 'CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL,
      `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE,
      `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)' \
  -q "INSERT INTO \`Environment\` (\`Environment\`, \`Name\`, \`Value\`, \`Component_\`)
      VALUES ('UserPath', '=-Path', '[~];[INSTALLDIR]', 'Programs')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`)
      VALUES ('RemoveEnvironmentStrings', 3300)" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`)
      VALUES ('WriteEnvironmentStrings', 5200)"
mv "$work/quill.msi" "$out"
