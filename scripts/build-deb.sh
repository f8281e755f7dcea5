#!/usr/bin/env bash
# Builds the Debian package kelmar-vindle_VERSION_ARCH.deb from this tree
# into build/deb/ (debhelper with debian/; release build, no tests, 2 jobs),
# and checks it with lintian. Prints the package's path as its last line.
#
#   scripts/build-deb.sh
#
# Needs debhelper, dpkg-dev, fakeroot and lintian besides the build's own
# packages (scripts/install-deps.sh installs them all). The tree is copied
# first (its tracked and new files, not build/): dpkg-buildpackage writes
# its results beside the source folder, which is then build/deb/.
set -euo pipefail
cd "$(dirname "$0")/.."

# The package's version is the project's: debian/changelog must name it.
project_version=$(sed -nE 's/^project\(kelmar_vindle VERSION ([0-9.]+) .*/\1/p' CMakeLists.txt)
package_version=$(dpkg-parsechangelog -S Version)
if [[ $package_version != "$project_version" ]]; then
  echo "debian/changelog is at $package_version, the project at $project_version:" \
    "add a changelog entry (dch -v $project_version)" >&2
  exit 1
fi

out=build/deb
rm -rf "$out"
mkdir -p "$out/src"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$out/src"
else
  tar -C . --exclude=./build --exclude=./.git -cf - . | tar -C "$out/src" -xf -
fi

(cd "$out/src" && DEB_BUILD_OPTIONS="nocheck parallel=2" dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1 || {
  tail -n 40 "$out/build.log" >&2
  echo "dpkg-buildpackage failed; the whole log is $out/build.log" >&2
  exit 1
}
rm -rf "$out/src"

deb=$(ls "$out"/kelmar-vindle_"$project_version"_*.deb)
changes=$(ls "$out"/kelmar-vindle_"$project_version"_*.changes)
# Errors fail the build; warnings and notes, pedantic ones too, are shown
# (debian/kelmar-vindle.lintian-overrides holds those accepted, each with its
# reason).
lintian --allow-root --fail-on error --info --pedantic "$changes" | tee "$out/lintian.log" >&2
echo "$deb"
