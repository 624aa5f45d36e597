# THIRD-PARTY-NOTICES.txt in the build folder (KELVO_NOTICES), written when the build is
# configured: every component of others that the programs of this build contain or use, with the
# version this build takes, its licence text, and the Debian source package (and version) where
# its source is to be had. The versions are read from what the build compiles (Qt's package
# configuration, the headers of nlohmann-json and SQLite), the Debian versions from dpkg or the
# stamps of the cache folders that hold Qt and SQLite for the Windows build, so the notices
# follow the build. The Linux packages install the file beside their copyright file; the Windows
# release folder carries it with Windows line ends (Release.cmake).
#
# Licence texts come from Debian's own files on the building machine: /usr/share/common-licenses
# (LGPL-3, GPL-3), the copyright files of the packages the build uses, and the comment at the top
# of sqlite3.h. The test third_party_notices checks the file against the versions compiled in.
set(KELVO_NOTICES ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt)
set(sRule "========================================================================")

# The dpkg-query fields sFormat of the installed package sPackage, or "" when it is not installed.
function(kelvo_dpkg_field sOut sPackage sFormat)
  set(sValue "")
  find_program(KELVO_DPKG_QUERY dpkg-query)
  if(KELVO_DPKG_QUERY)
    execute_process(COMMAND ${KELVO_DPKG_QUERY} -W -f=${sFormat} ${sPackage}
                    RESULT_VARIABLE iExit OUTPUT_VARIABLE sValue ERROR_QUIET)
    if(NOT iExit EQUAL 0)
      set(sValue "")
    endif()
  endif()
  set(${sOut} "${sValue}" PARENT_SCOPE)
endfunction()

# "the Debian source package NAME, version VERSION" of the installed binary package sPackage.
function(kelvo_debian_source sOut sPackage)
  kelvo_dpkg_field(sValue ${sPackage} "\${source:Package} \${source:Version}")
  if(sValue MATCHES "^([^ ]+) ([^ ]+)$")
    set(${sOut} "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}" PARENT_SCOPE)
  else()
    set(${sOut} "" PARENT_SCOPE)
  endif()
endfunction()

# The value of "source-version:" in the build stamp of a cache folder, or "".
function(kelvo_stamp_version sOut sFolder)
  set(sValue "")
  if(EXISTS ${sFolder}/kelvo-build.stamp)
    file(STRINGS ${sFolder}/kelvo-build.stamp aLines REGEX "^source-version: ")
    if(aLines)
      list(GET aLines 0 sLine)
      string(REGEX REPLACE "^source-version: " "" sValue "${sLine}")
    endif()
  endif()
  set(${sOut} "${sValue}" PARENT_SCOPE)
endfunction()

function(kelvo_require_file sFile sWhat)
  if(NOT EXISTS ${sFile})
    message(FATAL_ERROR "${sFile} not found: THIRD-PARTY-NOTICES.txt takes ${sWhat} from it")
  endif()
endfunction()

# The text of the first "License: sName" of a Debian machine-readable copyright file that carries
# a text (its indented lines, a lone "." as an empty line), unindented.
function(kelvo_dep5_license sOut sFile sName)
  kelvo_require_file(${sFile} "the licence ${sName}")
  file(STRINGS ${sFile} aLines)
  set(bIn FALSE)
  set(sText "")
  foreach(sLine IN LISTS aLines)
    if(bIn)
      if(sLine MATCHES "^[ \t]+(.*)$")
        set(sPart "${CMAKE_MATCH_1}")
        if(sPart STREQUAL ".")
          set(sPart "")
        endif()
        string(APPEND sText "${sPart}\n")
        continue()
      endif()
      if(NOT sText STREQUAL "")
        break()
      endif()
      set(bIn FALSE)
    endif()
    if(sLine STREQUAL "License: ${sName}")
      set(bIn TRUE)
    endif()
  endforeach()
  if(sText STREQUAL "")
    message(FATAL_ERROR "${sFile} has no text for the licence ${sName}")
  endif()
  set(${sOut} "${sText}" PARENT_SCOPE)
endfunction()

# The paragraphs of Qt's Debian copyright file for the code Qt takes from others (src/3rdparty),
# without those for platforms other than Windows and Linux, followed by the licence paragraphs
# they name; quoted as they are.
function(kelvo_qt_third_party sOut sFile)
  kelvo_require_file(${sFile} "the copyright of the parts Qt takes from others")
  file(READ ${sFile} sAll)
  string(ASCII 1 sSep)
  string(REPLACE ";" "\\;" sAll "${sAll}")
  string(REGEX REPLACE "\n[ \t]*\n" "\n${sSep}" sAll "${sAll}")
  string(REPLACE "${sSep}" ";" aParagraphs "${sAll}")
  set(sFiles "")
  set(aNames)
  foreach(sPara IN LISTS aParagraphs)
    string(STRIP "${sPara}" sPara)
    if(sPara MATCHES "^Files: src/3rdparty/" AND NOT sPara MATCHES
       "^Files: src/3rdparty/(android|gradle|wasm|VulkanMemoryAllocator|xcb)/")
      string(APPEND sFiles "${sPara}\n\n")
      string(REGEX MATCH "\nLicense: [^\n]*" sLicense "${sPara}")
      string(REGEX REPLACE "^\nLicense: " "" sLicense "${sLicense}")
      string(REGEX REPLACE " (and|or) " ";" aThese "${sLicense}")
      list(APPEND aNames ${aThese})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES aNames)
  list(SORT aNames)
  set(sTexts "")
  foreach(sName IN LISTS aNames)
    foreach(sPara IN LISTS aParagraphs)
      string(STRIP "${sPara}" sPara)
      if(sPara MATCHES "^License: ([^\n]*)\n" AND CMAKE_MATCH_1 STREQUAL sName)
        string(APPEND sTexts "${sPara}\n\n")
        break()
      endif()
    endforeach()
  endforeach()
  set(${sOut} "${sFiles}${sTexts}" PARENT_SCOPE)
endfunction()

# One component: a heading, then lines of "Field: value" and the licence text.
function(kelvo_notice_section sOut sTitle sFields sLicenceText)
  set(${sOut} "${${sOut}}\n${sRule}\n${sTitle}\n${sRule}\n\n${sFields}\n${sLicenceText}\n"
      PARENT_SCOPE)
endfunction()

function(kelvo_apt_source sOut sPackage sVersion)
  set(${sOut}
      "the Debian source package ${sPackage}, version ${sVersion}:\n  apt-get source ${sPackage}=${sVersion}\n  https://snapshot.debian.org/package/${sPackage}/${sVersion}/"
      PARENT_SCOPE)
endfunction()

# --- What this build takes, and in which programs -------------------------------------------

if(WIN32)
  set(sPlatform "Windows")
  set(sGui "kelvo-firmware-update.exe")
  set(sCli "kelvo-update.exe")
else()
  set(sPlatform "Linux")
  set(sGui "kelvo-firmware-update")
  set(sCli "kelvo-update")
endif()

set(sNotices "")
set(aComponents)

# Qt: the GUI only.
if(TARGET kelvo-firmware-update)
  find_package(Qt6 REQUIRED COMPONENTS Core)
  set(KELVO_QT_VERSION ${Qt6Core_VERSION})
  get_target_property(sQtType Qt6::Core TYPE)
  if(sQtType STREQUAL "STATIC_LIBRARY")
    set(sQtHow "linked into ${sGui}")
  elseif(WIN32)
    set(sQtHow "the libraries Qt6Core.dll, Qt6Gui.dll, Qt6Widgets.dll and the plugins in platforms\\ and styles\\ beside ${sGui}; you may replace them with your own build of the same Qt version")
  else()
    set(sQtHow "used by ${sGui} as shared libraries of the system (Debian's packages libqt6core6, libqt6gui6, libqt6widgets6); they are not part of this package")
  endif()
  # Qt for Windows is built from Debian's source into a folder whose stamp names the version.
  get_filename_component(sQtPrefix "${Qt6_DIR}/../../.." ABSOLUTE)
  kelvo_stamp_version(sQtDebian ${sQtPrefix})
  if(sQtDebian)
    kelvo_apt_source(sQtSource qt6-base ${sQtDebian})
  else()
    kelvo_debian_source(sQtDebian libqt6core6)
    if(sQtDebian MATCHES "^([^ ]+) (.+)$")
      kelvo_apt_source(sQtSource ${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
    else()
      set(sQtSource "https://download.qt.io/archive/qt/ (qtbase ${KELVO_QT_VERSION})")
    endif()
  endif()
  set(sLicenseDir /usr/share/common-licenses)
  if(WIN32)
    kelvo_require_file(${sLicenseDir}/LGPL-3 "the text of the LGPL-3.0")
    kelvo_require_file(${sLicenseDir}/GPL-3 "the text of the GPL-3.0")
    file(READ ${sLicenseDir}/LGPL-3 sLgpl)
    file(READ ${sLicenseDir}/GPL-3 sGpl)
    set(sQtLicence
        "GNU LESSER GENERAL PUBLIC LICENSE, version 3 (LGPL-3.0):\n\n${sLgpl}\n\nThe LGPL-3.0 refers to the GNU GENERAL PUBLIC LICENSE, version 3 (GPL-3.0):\n\n${sGpl}")
  else()
    set(sQtLicence
        "The licence texts: ${sLicenseDir}/LGPL-3 and, for the GPL-3.0 to which the\nLGPL-3.0 refers, ${sLicenseDir}/GPL-3. Qt's copyright file:\n/usr/share/doc/libqt6core6/copyright.\n")
  endif()
  set(sFields "Use: ${sQtHow}.\n")
  string(APPEND sFields "Licence: GNU Lesser General Public License version 3 (LGPL-3.0)\n")
  string(APPEND sFields "Copyright: The Qt Company Ltd. and other contributors\n")
  string(APPEND sFields "Source: ${sQtSource}\n")
  if(WIN32)
    # Qt built for Windows compiles in parts that it takes from others (zlib, libpng, FreeType,
    # HarfBuzz, PCRE2, ...); their copyright and licences as Debian's qt6-base lists them.
    kelvo_qt_third_party(sQtParts /usr/share/doc/libqt6core6/copyright)
    string(APPEND sQtLicence
           "\nQt contains code of others, compiled into Qt as well. Their copyright and licences,\nquoted from Debian's copyright file of qt6-base:\n\n${sQtParts}")
  endif()
  kelvo_notice_section(sNotices "Qt ${KELVO_QT_VERSION} (Qt Core, Qt Gui, Qt Widgets)" "${sFields}"
                       "${sQtLicence}")
  list(APPEND aComponents "Qt ${KELVO_QT_VERSION}")
endif()

# nlohmann-json: header-only, compiled into the command line.
if(nlohmann_json_FOUND)
  get_target_property(aJsonIncludes nlohmann_json::nlohmann_json INTERFACE_INCLUDE_DIRECTORIES)
else()
  set(aJsonIncludes ${KELVO_NLOHMANN_JSON_INCLUDE})
endif()
find_file(KELVO_JSON_ABI_MACROS nlohmann/detail/abi_macros.hpp PATHS ${aJsonIncludes}
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
kelvo_require_file("${KELVO_JSON_ABI_MACROS}" "nlohmann-json's version")
file(STRINGS ${KELVO_JSON_ABI_MACROS} aJsonDefines REGEX "^#define NLOHMANN_JSON_VERSION_")
set(KELVO_JSON_VERSION "")
foreach(sPart MAJOR MINOR PATCH)
  string(REGEX MATCH "NLOHMANN_JSON_VERSION_${sPart} +([0-9]+)" sMatch "${aJsonDefines}")
  list(APPEND KELVO_JSON_VERSION ${CMAKE_MATCH_1})
endforeach()
list(JOIN KELVO_JSON_VERSION "." KELVO_JSON_VERSION)
kelvo_debian_source(sJsonDebian nlohmann-json3-dev)
if(sJsonDebian MATCHES "^([^ ]+) (.+)$")
  kelvo_apt_source(sJsonSource ${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
else()
  set(sJsonSource "https://github.com/nlohmann/json/releases/tag/v${KELVO_JSON_VERSION}")
endif()
kelvo_dep5_license(sMit /usr/share/doc/nlohmann-json3-dev/copyright Expat)
set(sFields "Use: compiled into ${sCli}.\nLicence: MIT\n")
string(APPEND sFields "Copyright: 2013-2022 Niels Lohmann <https://nlohmann.me>\n")
string(APPEND sFields "Source: ${sJsonSource}\n")
kelvo_notice_section(sNotices "nlohmann-json ${KELVO_JSON_VERSION} (JSON for Modern C++)"
                     "${sFields}" "MIT License\n\nCopyright (c) 2013-2022 Niels Lohmann\n\n${sMit}")
list(APPEND aComponents "nlohmann-json ${KELVO_JSON_VERSION}")

# SQLite: the journal, in both operator's programs.
if(KELVO_SQLITE_AMALGAMATION)
  set(sSqliteHeader ${KELVO_SQLITE_AMALGAMATION}/sqlite3.h)
  kelvo_stamp_version(sSqliteDebian ${KELVO_SQLITE_AMALGAMATION})
  set(sSqliteHow "compiled into ${sGui} and ${sCli}")
else()
  find_file(KELVO_SQLITE_HEADER sqlite3.h PATHS ${SQLite3_INCLUDE_DIR})
  set(sSqliteHeader ${KELVO_SQLITE_HEADER})
  kelvo_dpkg_field(sSqliteDebian libsqlite3-dev "\${source:Version}")
  set(sSqliteHow "used by ${sGui} and ${sCli} as the shared library of the system (Debian's package libsqlite3-0); it is not part of this package")
endif()
kelvo_require_file("${sSqliteHeader}" "SQLite's version and its dedication")
file(STRINGS ${sSqliteHeader} aSqliteVersion REGEX "^#define SQLITE_VERSION +\"")
string(REGEX MATCH "\"([^\"]+)\"" sMatch "${aSqliteVersion}")
set(KELVO_SQLITE_VERSION ${CMAKE_MATCH_1})
# The dedication: the comment at the top of sqlite3.h, from "The author disclaims" to the
# blessing's last line.
file(STRINGS ${sSqliteHeader} aSqliteHead LIMIT_COUNT 12)
set(sDedication "")
set(bIn FALSE)
foreach(sLine IN LISTS aSqliteHead)
  if(sLine MATCHES "The author disclaims")
    set(bIn TRUE)
  endif()
  if(bIn)
    if(sLine MATCHES "^\\*\\*\\*")
      break()
    endif()
    string(REGEX REPLACE "^\\*\\* ?" "" sLine "${sLine}")
    string(APPEND sDedication "${sLine}\n")
  endif()
endforeach()
if(NOT sDedication MATCHES "May you share freely")
  message(FATAL_ERROR "${sSqliteHeader}: SQLite's dedication not found at the top")
endif()
if(sSqliteDebian)
  kelvo_apt_source(sSqliteSource sqlite3 ${sSqliteDebian})
else()
  set(sSqliteSource "https://www.sqlite.org/ (version ${KELVO_SQLITE_VERSION})")
endif()
set(sFields "Use: ${sSqliteHow}.\nLicence: public domain (SQLite's dedication below)\n")
string(APPEND sFields "Copyright: none; the authors have dedicated SQLite to the public domain\n")
string(APPEND sFields "Source: ${sSqliteSource}\n")
kelvo_notice_section(sNotices "SQLite ${KELVO_SQLITE_VERSION}" "${sFields}" "${sDedication}")
list(APPEND aComponents "SQLite ${KELVO_SQLITE_VERSION}")

if(WIN32)
  # The MinGW-w64 and GCC runtimes are linked into each program, and into each of Qt's DLLs too
  # where Qt comes as DLLs.
  set(sRuntimeIn "${sGui} and ${sCli}")
  if(sQtType STREQUAL "SHARED_LIBRARY")
    set(sRuntimeIn "${sGui}, ${sCli} and Qt's DLLs")
  endif()
  # The static MinGW-w64 runtime: the C runtime start-up code and winpthreads (std::thread).
  kelvo_debian_source(sMingwDebian mingw-w64-x86-64-dev)
  set(sMingwFile /usr/share/doc/mingw-w64-x86-64-dev/copyright)
  kelvo_dep5_license(sZpl ${sMingwFile} ZPL-2.1)
  kelvo_dep5_license(sMingwMit ${sMingwFile} expat)
  kelvo_dep5_license(sLockless ${sMingwFile} BSD-3-clause-Lockless)
  if(sMingwDebian MATCHES "^([^ ]+) (.+)$")
    kelvo_apt_source(sMingwSource ${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
    set(sMingwVersion ${CMAKE_MATCH_2})
  else()
    set(sMingwSource "https://www.mingw-w64.org/")
    set(sMingwVersion "")
  endif()
  set(sFields "Use: linked into ${sRuntimeIn}.\n")
  string(APPEND sFields "Licence: the runtime ZPL-2.1 and public domain; winpthreads MIT and BSD-3-Clause\n")
  string(APPEND sFields "Copyright: 2009-2016 mingw-w64 project; 2011-2016 mingw-w64 project (winpthreads); 2010 Lockless Inc. (pthread.h)\n")
  string(APPEND sFields "Source: ${sMingwSource}\n")
  kelvo_notice_section(sNotices "MinGW-w64 runtime and winpthreads ${sMingwVersion}" "${sFields}"
                       "winpthreads (MIT):\n\n${sMingwMit}\nwinpthreads' pthread.h (BSD-3-Clause):\n\n${sLockless}\nThe runtime (ZPL-2.1):\n\n${sZpl}")
  # GCC's runtime: its licence exception asks for no notice; named so that the list is whole.
  kelvo_debian_source(sGccDebian g++-mingw-w64-x86-64-posix)
  if(sGccDebian MATCHES "^([^ ]+) (.+)$")
    kelvo_apt_source(sGccSource ${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
  else()
    set(sGccSource "https://gcc.gnu.org/")
  endif()
  set(sFields "Use: linked into ${sRuntimeIn} (libstdc++, libgcc).\n")
  string(APPEND sFields "Licence: GPL-3.0 with the GCC Runtime Library Exception, version 3.1, which allows this without conditions on the programs\n")
  string(APPEND sFields "Source: ${sGccSource}\n")
  kelvo_dpkg_field(sGccVersion g++-mingw-w64-x86-64-posix "\${Version}")
  string(REGEX REPLACE "^([0-9.]+)-.*$" "\\1" sGccVersion "${sGccVersion}")
  kelvo_notice_section(sNotices "GCC runtime libraries ${sGccVersion}" "${sFields}" "")

  # The setup program's stub and the uninstaller it installs are NSIS code.
  find_program(KELVO_MAKENSIS makensis)
  if(KELVO_MAKENSIS AND TARGET kelvo-firmware-update)
    kelvo_debian_source(sNsisDebian nsis)
    kelvo_dep5_license(sNsisZlib /usr/share/doc/nsis/copyright Zlib)
    kelvo_dep5_license(sNsisBzip2 /usr/share/doc/nsis/copyright bzip2-libbzip-2010)
    kelvo_dep5_license(sNsisLzma /usr/share/doc/nsis/copyright lzma-cpl-exception)
    if(sNsisDebian MATCHES "^([^ ]+) (.+)$")
      kelvo_apt_source(sNsisSource ${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
      string(REGEX REPLACE "[-+].*$" "" sNsisVersion "${CMAKE_MATCH_2}")
    else()
      set(sNsisSource "https://nsis.sourceforge.io/")
      set(sNsisVersion "")
    endif()
    set(sFields "Use: the setup program kelvo-firmware-update-${PROJECT_VERSION}-win64-setup.exe and the uninstall.exe it installs.\n")
    string(APPEND sFields "Licence: zlib/libpng; its LZMA decoder under the CPL with an exception, its bzip2 code under bzip2's licence\n")
    string(APPEND sFields "Copyright: 1999-2021 Nullsoft and Contributors; NSIS Contributors\n")
    string(APPEND sFields "Source: ${sNsisSource}\n")
    kelvo_notice_section(sNotices "NSIS ${sNsisVersion} (Nullsoft Scriptable Install System)"
                         "${sFields}" "${sNsisZlib}\nLZMA:\n\n${sNsisLzma}\nbzip2:\n\n${sNsisBzip2}")
  endif()
endif()

list(JOIN aComponents ", " sComponentList)
file(WRITE ${KELVO_NOTICES}.tmp
     "Third-party software in Kelvo Firmware Update ${PROJECT_VERSION} (${sPlatform})\n\n"
     "Kelvo Firmware Update is released under its own licence (LICENSE.txt on Windows, the\n"
     "copyright file on Linux). It contains or uses the software of others named below:\n"
     "${sComponentList}.\n"
     "Each is under its own licence, whose text its section gives (or, on Linux, names the\n"
     "system's file that holds it); those licences, not ours, govern these components. Each\n"
     "section says where the component's source is to be had.\n"
     "${sNotices}")
# Written only when it changed, so that an unchanged configuration rebuilds nothing.
file(COPY_FILE ${KELVO_NOTICES}.tmp ${KELVO_NOTICES} ONLY_IF_DIFFERENT)
file(REMOVE ${KELVO_NOTICES}.tmp)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${sSqliteHeader}
             ${KELVO_JSON_ABI_MACROS})
