#pragma once

#include <tulo/ImageFile.hpp>
#include <tulo/Intervals.hpp>
#include <tulo/KMeans.hpp>
#include <tulo/MatManip.hpp>
#include <tulo/Opsira.hpp>
#include <tulo/Orientation.hpp>
#include <tulo/PageContent.hpp>
#include <tulo/Skew.hpp>
