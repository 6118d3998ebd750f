#pragma once

// The BinXML token encoding: writer, reader, value sources and sinks.
#include "libs/ccutility/binxml/binxml_error.h"
#include "libs/ccutility/binxml/binxml_file_stream.h"
#include "libs/ccutility/binxml/binxml_reader.h"
#include "libs/ccutility/binxml/binxml_streamable.h"
#include "libs/ccutility/binxml/binxml_writer.h"
