# SPDX-License-Identifier: Apache-2.0
# BitBake recipe: vorna and cfgcrypt for the device (component "device"), and
# vorna-image for the build machine as vorna-native (component "host").
# The product's key and the commit to build are variables, set in local.conf or
# a bbappend:
#   VORNA_PUBLIC_KEY_FILE = "/path/to/key.txt"
#   VORNA_TRUSTED_KEYS = "/path/to/a.pub.pem;/path/to/b.pub.pem"   (optional)
#   VORNA_SRCREV = "<the commit of the release, 40 hexadecimal digits: git rev-parse HEAD>"
#   VORNA_SRC_URI = "git://git.example.org/vorna/vorna.git;protocol=https;branch=main"   (a mirror)
# The build is reproducible: it takes that commit and no other.
# An image installs the device programs with IMAGE_INSTALL:append = " vorna".
SUMMARY = "Storage and firmware upgrade programs of the device"
LICENSE = "Apache-2.0"
LIC_FILES_CHKSUM = "file://LICENSE;md5=3b83ef96387f14655fc854ddc3c6bd57"

VORNA_SRC_URI ??= "git://git.example.org/vorna/vorna.git;protocol=https;branch=main"
VORNA_SRCREV ??= ""
SRC_URI = "${VORNA_SRC_URI}"
SRCREV = "${VORNA_SRCREV}"
PV = "1.0+git${SRCPV}"
S = "${WORKDIR}/git"

DEPENDS = "cjson openssl"
inherit cmake pkgconfig

VORNA_PUBLIC_KEY_FILE ??= ""
VORNA_TRUSTED_KEYS ??= ""
python () {
    import re
    if not d.getVar('VORNA_PUBLIC_KEY_FILE'):
        raise bb.parse.SkipRecipe("set VORNA_PUBLIC_KEY_FILE to the product's public key text")
    rev = d.getVar('VORNA_SRCREV') or ''
    if not re.fullmatch('[0-9a-f]{40}', rev) or rev == '0' * 40:
        raise bb.parse.SkipRecipe("set VORNA_SRCREV to the commit to build, its 40 hexadecimal digits")
}

EXTRA_OECMAKE = "-DVORNA_PUBLIC_KEY_FILE=${VORNA_PUBLIC_KEY_FILE} -DVORNA_TRUSTED_KEYS='${VORNA_TRUSTED_KEYS}' -DVORNA_BUILD_TESTS=OFF"
EXTRA_OECMAKE:append:class-target = " -DVORNA_BUILD_TOOLS=OFF"
EXTRA_OECMAKE:append:class-native = " -DVORNA_BUILD_TOOLS=ON"

VORNA_COMPONENT = "device"
VORNA_COMPONENT:class-native = "host"
do_install() {
    DESTDIR='${D}' cmake --install '${B}' --component ${VORNA_COMPONENT}
}

# What the device packages hold; cfgcrypt runs openssl through /bin/sh.
FILES:${PN} = "${bindir}/vorna ${bindir}/cfgcrypt ${datadir}/bash-completion/completions/vorna"
FILES:${PN}-doc = "${mandir}/man1/vorna.1 ${mandir}/man1/cfgcrypt.1 ${docdir}/vorna/README.md ${docdir}/vorna/CHANGELOG.md ${docdir}/vorna/LICENSE"
RDEPENDS:${PN}:class-target = "openssl-bin ${VIRTUAL-RUNTIME_base-utils}"

BBCLASSEXTEND = "native"
