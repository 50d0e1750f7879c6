# Sourced by build-deps.sh and delta-bench.sh: a private apt state whose
# deb-src entries copy the machine's own sources, so Debian's source packages
# can be fetched without touching the machine's lists or caches; and, for the
# delta benchmark, the step between a source's two newest listed versions.

# zq_private_apt DIR: makes the state under DIR and sets the array
# zq_apt_options for apt-get; fails when the machine's sources name nothing usable.
zq_private_apt() {
  local apt_dir=$1 system_sources=/etc/apt/sources.list.d/debian.sources
  [ -r "$system_sources" ] || { echo "cannot read $system_sources" >&2; return 1; }
  mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  # Each stanza's URIs, suites, components and key, turned into deb-src.
  awk '
    function flush() {
      if (uris != "" && suites != "") {
        printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n", uris, suites, (comps != "" ? comps : "main")
        if (signed != "") printf "Signed-By: %s\n", signed
        printf "\n"
      }
      uris = suites = comps = signed = ""
    }
    /^[[:space:]]*#/ { next }
    /^[[:space:]]*$/ { flush(); next }
    {
      field = tolower($1); sub(/:$/, "", field)
      value = $0; sub(/^[^:]*:[[:space:]]*/, "", value)
      if (field == "uris") uris = value
      else if (field == "suites") suites = value
      else if (field == "components") comps = value
      else if (field == "signed-by") signed = value
    }
    END { flush() }
  ' "$system_sources" >"$apt_dir/sources/zenquilostudent.sources"
  grep -q '^URIs:' "$apt_dir/sources/zenquilostudent.sources" ||
    { echo "no usable entry in $system_sources" >&2; return 1; }
  zq_apt_options=(
    -o Dir::Etc::SourceList=/dev/null
    -o "Dir::Etc::SourceParts=$apt_dir/sources"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o Dir::Cache::pkgcache=
    -o Dir::Cache::srcpkgcache=
    -o APT::Sandbox::User=root
  )
}

# zq_release_step SOURCE: after zq_private_apt and an update, the two newest
# versions of a source package that the suites list, as
# "OLD OLD-SUITE NEW NEW-SUITE"; fails when they list only one. Each suite's
# index names one version, so the step moves on as the suites do: a security
# update replaces the older side rather than leaving a version the pool dropped.
zq_release_step() {
  apt-cache "${zq_apt_options[@]}" madison "$1" | zq_newest_two "$1"
}

# The step from `apt-cache madison` lines on stdin, in Debian's version order
# (where 10+deb12u15 follows 10+deb12u5, which a text sort gets backwards).
zq_newest_two() {
  local name=$1 package version location suite
  local newest="" newest_suite="" older="" older_suite=""
  while IFS='|' read -r package version location; do
    package=${package// /} version=${version// /}
    [ "$package" = "$name" ] && [[ $location == *" Sources" ]] || continue
    suite=$(awk '{print $2}' <<<"$location")
    suite=${suite%%/*}
    [ "$version" != "$newest" ] && [ "$version" != "$older" ] || continue
    if [ -z "$newest" ] || dpkg --compare-versions "$version" gt "$newest"; then
      older=$newest older_suite=$newest_suite newest=$version newest_suite=$suite
    elif [ -z "$older" ] || dpkg --compare-versions "$version" gt "$older"; then
      older=$version older_suite=$suite
    fi
  done
  if [ -z "$older" ]; then
    echo "the suites list ${newest:+only }$name ${newest:-in no version}: no step between two versions" >&2
    return 1
  fi
  printf '%s %s %s %s\n' "$older" "$older_suite" "$newest" "$newest_suite"
}

# zq_fetch_sources DIR SOURCE VERSION...: each version's source files into
# DIR. They share one folder so that a file two versions name, such as the
# upstream tarball and its signature, is fetched once: apt skips a file whose
# checksum matches its index. That also covers a pool missing a shared file
# that another pool still carries (the security pool lacked an older curl's
# tarball signature), so a version that fails is tried again after the rest.
zq_fetch_sources() {
  local dir=$1 source=$2 version failed=()
  shift 2
  for version in "$@"; do
    (cd "$dir" && apt-get "${zq_apt_options[@]}" source --download-only "$source=$version") >/dev/null 2>&1 ||
      failed+=("$version")
  done
  for version in "${failed[@]}"; do
    (cd "$dir" && apt-get "${zq_apt_options[@]}" source --download-only "$source=$version") >/dev/null ||
      { echo "cannot fetch $source $version from the machine's sources" >&2; return 1; }
  done
}
