# Install step of the Windows zip: SHA256SUMS over the files installed beside it, in
# sha256sum's format. Needs FWUPGRADE_SUMMED (file names in the install folder).
set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(sums "")
foreach(name IN LISTS FWUPGRADE_SUMMED)
  file(SHA256 "${dir}/${name}" hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${dir}/SHA256SUMS" "${sums}")
message(STATUS "Installing: ${dir}/SHA256SUMS")
