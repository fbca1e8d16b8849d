// The expat parser of the running interpreter, as its pyexpat module hands
// it out (the "pyexpat.expat_CAPI" capsule): the parser every Python has,
// reached without a library of our own.
//
// The interpreter's headers declare the capsule's table (pyexpat.h) but not
// the expat types the table is written in; those few are declared here as
// expat's public interface has them. Only pointers to them cross into
// expat, and the table's size and version are checked before it is used.
#pragma once

#include <cstddef>

extern "C" {

typedef char XML_Char;
typedef char XML_LChar;
typedef unsigned long XML_Size;
typedef struct XML_ParserStruct* XML_Parser;
typedef struct XML_Encoding XML_Encoding;
enum XML_Status { XML_STATUS_ERROR = 0, XML_STATUS_OK = 1, XML_STATUS_SUSPENDED = 2 };
enum XML_Error : int;

typedef struct {
    void* (*malloc_fcn)(std::size_t size);
    void* (*realloc_fcn)(void* ptr, std::size_t size);
    void (*free_fcn)(void* ptr);
} XML_Memory_Handling_Suite;

typedef void (*XML_StartElementHandler)(void* user_data, const XML_Char* name, const XML_Char** attributes);
typedef void (*XML_EndElementHandler)(void* user_data, const XML_Char* name);
typedef void (*XML_CharacterDataHandler)(void* user_data, const XML_Char* text, int length);
typedef void (*XML_CommentHandler)(void* user_data, const XML_Char* data);
typedef void (*XML_ProcessingInstructionHandler)(void* user_data, const XML_Char* target, const XML_Char* data);
typedef void (*XML_DefaultHandler)(void* user_data, const XML_Char* text, int length);
typedef void (*XML_StartNamespaceDeclHandler)(void* user_data, const XML_Char* prefix, const XML_Char* uri);
typedef void (*XML_EndNamespaceDeclHandler)(void* user_data, const XML_Char* prefix);
typedef int (*XML_UnknownEncodingHandler)(void* handler_data, const XML_Char* name, XML_Encoding* info);
typedef void (*XML_StartDoctypeDeclHandler)(void* user_data, const XML_Char* name, const XML_Char* system_id,
                                            const XML_Char* public_id, int has_internal_subset);

}  // extern "C"

#include <pyexpat.h>

namespace tw::content {

// The interpreter's expat, loaded on first use. Null when it cannot be
// used: with the exception set when loading it failed, without one when
// the table is not one this code knows or its expat is older than 2.4
// (the first to bound what entities may expand to).
const PyExpat_CAPI* interpreter_expat();

}  // namespace tw::content
