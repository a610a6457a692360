# Shared by scripts/check-package and scripts/check-macos.

# Succeeds when the Mach-O file $1 holds both an arm64 and an x86_64 slice, in either order, as
# `lipo -archs` names them: separated by one space, with none before the first or after the last
# (Apple's lipo) or one after the last (LLVM's). $LIPO names another lipo.
is_universal() {
  local archs
  archs=" $("${LIPO:-lipo}" -archs "$1") " || return 1
  case $archs in *" arm64 "*) ;; *) return 1 ;; esac
  case $archs in *" x86_64 "*) ;; *) return 1 ;; esac
}
