# Writes the newest section of CHANGELOG.md as a Debian changelog entry (the format that
# /usr/share/doc/<package>/changelog.gz has in a package without a Debian revision):
#   cmake -DIN=CHANGELOG.md -DOUT=changelog -DPACKAGE=llupdate -DVERSION=0.1.0
#         -DMAINTAINER="Name <mail>" -P debian_changelog.cmake
# The date is the build's (SOURCE_DATE_EPOCH when set, so that the package is reproducible).
file(STRINGS "${IN}" lines)
set(entry "")
set(in_section FALSE)
foreach(line IN LISTS lines)
  if(line MATCHES "^## ")
    if(in_section)
      break()
    endif()
    set(in_section TRUE)
  elseif(in_section AND line MATCHES "^- (.*)")
    string(APPEND entry "  * ${CMAKE_MATCH_1}\n")
  elseif(in_section AND line MATCHES "^  (.*)")
    string(APPEND entry "    ${CMAKE_MATCH_1}\n")
  endif()
endforeach()
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE "${OUT}" "${PACKAGE} (${VERSION}) unstable; urgency=medium\n\n${entry}\n -- ${MAINTAINER}  ${date}\n")
