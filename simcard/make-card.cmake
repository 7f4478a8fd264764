# Makes a demo card folder: CARD_DIR/simcard.state with one reader holding one card
# (PIN 1234, PUK 12345678) and two self-signed certificates in CARD_DIR/certs/:
# signing.der, valid for ten years, and authentication.der, which expires seven days
# after it is made. A file that exists already is left alone.
# Usage: cmake -DCARD_DIR=dir -DOPENSSL=/usr/bin/openssl -P make-card.cmake
if(NOT CARD_DIR OR NOT OPENSSL)
  message(FATAL_ERROR "make-card.cmake needs -DCARD_DIR=... and -DOPENSSL=...")
endif()
file(MAKE_DIRECTORY ${CARD_DIR}/certs)

function(make_cert name subject days)
  set(der ${CARD_DIR}/certs/${name}.der)
  if(EXISTS ${der})
    return()
  endif()
  set(key ${CARD_DIR}/certs/.${name}.key)
  execute_process(
    COMMAND ${OPENSSL} req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes
            -keyout ${key} -subj ${subject} -days ${days} -outform DER -out ${der}.tmp
    RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  file(REMOVE ${key})
  if(NOT rc EQUAL 0)
    file(REMOVE ${der}.tmp)
    message(FATAL_ERROR "openssl could not make ${der}: ${err}")
  endif()
  file(RENAME ${der}.tmp ${der})
endfunction()

make_cert(signing "/CN=Demo Card Signing/O=Pin Manager project" 3650)
make_cert(authentication "/CN=Demo Card Authentication/O=Pin Manager project" 7)

if(NOT EXISTS ${CARD_DIR}/simcard.state)
  file(WRITE ${CARD_DIR}/simcard.state.tmp
"# The simulated smart card that Pin Manager uses by default. Change it at will: the
# module reads it at C_Initialize and writes PIN, PUK and try counters back. Delete it
# (and certs/) and rebuild to get a fresh card. Format: simcard/README.md.
[reader]
description = Simulated Reader 0
card = present
label = Demo Card
serial = 0000000000000001
model = SimCard
manufacturer = Pin Manager project
min_pin = 4
max_pin = 8
pin = 1234                    # the user PIN
puk = 12345678                # the security officer PIN
pin_tries = 3
pin_max_tries = 3
puk_tries = 10
puk_max_tries = 10
extra_flags = 0x0
cert = certs/signing.der      # valid for ten years
cert = certs/authentication.der  # expires seven days after the build

[fault]
# C_OpenSession = 0x30        # uncomment to make opening a session fail (CKR_DEVICE_ERROR)
")
  file(RENAME ${CARD_DIR}/simcard.state.tmp ${CARD_DIR}/simcard.state)
endif()
