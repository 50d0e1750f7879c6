# Sourced by build-deps.sh and delta-bench.sh: a private apt state whose
# deb-src entries copy the machine's own sources, so Debian's source packages
# can be fetched without touching the machine's lists or caches.

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
