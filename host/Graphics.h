// Host graphics services: reference-counted models, cookies, connectors, render objects and queues,
// the model registry, renderer callbacks, the render context and level-of-detail factors.
#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <osg/BoundingBox>
#include <osg/Matrixd>
#include <osg/Matrixf>
#include <osg/Vec3d>

#include "host/Position.h"

namespace orn {

// Intrusive reference count; the object deletes itself when the last reference is released.
class Shared {
public:
    Shared() = default;
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    void addRef() { _refs.fetch_add(1, std::memory_order_relaxed); }
    void release() { if (_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this; }
    int refCount() const { return _refs.load(); }
protected:
    virtual ~Shared() = default;
private:
    std::atomic<int> _refs{0};
};

// Owning handle for Shared objects.
template <class T>
class ref_ptr {
public:
    ref_ptr() = default;
    ref_ptr(T* p) : _p(p) { if (_p) _p->addRef(); }
    ref_ptr(const ref_ptr& o) : ref_ptr(o._p) {}
    ref_ptr(ref_ptr&& o) noexcept : _p(o._p) { o._p = nullptr; }
    ~ref_ptr() { if (_p) _p->release(); }
    ref_ptr& operator=(ref_ptr o) { std::swap(_p, o._p); return *this; }
    T* get() const { return _p; }
    T* operator->() const { return _p; }
    T& operator*() const { return *_p; }
    explicit operator bool() const { return _p != nullptr; }
private:
    T* _p = nullptr;
};

}  // namespace orn

namespace model {

enum LoadState : int { LS_NONE = 0, LS_LOADING = 1, LS_LOADED = 6 };

// Host query interface of a model (bounds and intersections).
class IModel {
public:
    virtual ~IModel() = default;
    virtual osg::BoundingBox getBoundingBox() const = 0;
    virtual bool intersectSegment(const osg::Vec3f& from, const osg::Vec3f& to, osg::Vec3f& hit) const = 0;
};

// Per-instance state a model hands to the host for each placed instance.
class ModelCookie {
public:
    virtual ~ModelCookie() = default;
    virtual uint64_t getType() const = 0;
    virtual void setLiveryHandle(unsigned handle) = 0;
    virtual std::unique_ptr<ModelCookie> clone() const = 0;
};

}  // namespace model

namespace Graphics {

struct Context;

// The host's object for one placed instance: it yields its cookie and its own placement.
class ModelInstance {
public:
    virtual ~ModelInstance() = default;
    virtual model::ModelCookie* getCookie() const = 0;
    virtual osg::Matrixf getMatrix() const = 0;
};

// Something the renderer draws.
class IRenderObject {
public:
    virtual ~IRenderObject() = default;
    virtual osg::BoundingBox getBoundingBox() const = 0;
    virtual osg::Vec3f getCenter() const = 0;
    virtual float getRadius() const = 0;
    virtual void draw(Context* context) = 0;
};

// Objects submitted for one render pass, drawn in submission order by the renderer.
class RenderQueue {
public:
    virtual ~RenderQueue() = default;
    virtual void add(IRenderObject* object, uint64_t key) = 0;
    virtual uint64_t passKey() const = 0;
    virtual const char* className() const = 0;
    // What the queue is for, in the host's numbering (16: flat shadows); 0 for an ordinary queue.
    virtual int kind() const { return 0; }
};

// A named attachment point of a model.
class ModelConnector {
public:
    virtual ~ModelConnector() = default;
    virtual const char* name() const = 0;
    virtual bool isValid() const = 0;
    virtual osg::Matrixf getRelativePosition(const ModelInstance& instance) const = 0;
    virtual wPosition3<float> getWorldPosition(const ModelInstance* instance) const = 0;
    virtual osg::Matrixd getRelativePositionD(const ModelInstance& instance) const = 0;
    virtual osg::Matrixd getWorldPositionD() const = 0;
    virtual bool isAnimated() const = 0;
    virtual bool isDetached() const = 0;
};

struct MultCoefs {
    float mult = 1.0f;
    float add = 0.0f;
};

// A model the host owns through its reference count.
class Model : public orn::Shared {
public:
    Model(const char* name, const char* path) : _name(name ? name : ""), _path(path ? path : "") {}
    const std::string& name() const { return _name; }
    const std::string& path() const { return _path; }

    virtual model::LoadState getLoadState() const = 0;
    virtual osg::BoundingBox getBoundingBox() = 0;
    virtual osg::Vec3f GetCenter() = 0;
    virtual float GetRadius() = 0;
    virtual void reload() = 0;
    virtual model::IModel* getIModelInterface() = 0;
    virtual std::map<std::string, MultCoefs> getMults() const { return {}; }
    virtual void GetTexturesNames(std::set<std::string>& names) const = 0;
    // Creates the state of one placed instance (null when the model makes none).
    virtual std::unique_ptr<model::ModelCookie> createCookie() = 0;
    // Takes part in one render pass for one visible instance.
    virtual void render(const ModelInstance& instance, RenderQueue& queue, const wPosition3<float>& pos) = 0;
    virtual void render(const ModelInstance& instance, RenderQueue& queue, const wPosition3<float>& pos,
                        int flag) { render(instance, queue, pos); }
    virtual int getNumConnectors() = 0;
    virtual ModelConnector* GetConnector(int index) = 0;
    virtual ModelConnector* GetConnector(const char* name) = 0;
    virtual ModelConnector* GetConnector(const std::string& name) = 0;

protected:
    ~Model() override = default;

private:
    std::string _name;
    std::string _path;
};

// A factory answers a model for a name, or null so that the registry asks the next one.
using ModelFactory = Model* (*)(const char* name);

class Models {
public:
    static Models& inst();
    void regFactory(ModelFactory factory);
    void unregFactory(ModelFactory factory);
    size_t factoryCount() const;
    // Asks every registered factory, most recently registered first; null when none makes the model.
    orn::ref_ptr<Model> find(const char* name);
private:
    Models() = default;
    struct Impl;
    Impl& impl() const;
};

// Receives renderer events (1: renderer reset, 8: end of frame, ...).
class RendererCallback {
public:
    virtual ~RendererCallback();
    virtual void onEvent(int event) = 0;
};
// Callbacks of one event run in ascending priority order.
void registerRendererCallback(RendererCallback* callback, int event, int priority);
void unregisterRendererCallback(RendererCallback* callback);
// Raised by the host program.
void raiseRendererEvent(int event);

struct Camera {
    osg::Vec3d position;
    osg::Matrixf view;
    osg::Matrixf projection;
};

// The render context of the frame and pass being drawn.
struct Context {
    uint64_t frame_number = 0;
    int pass_type = 0;  // 0 main, 1 shadow, 2 flat shadow
    osg::Vec3d origin;
    double time = 0.0;
    osg::Matrixf prev_origin_transform;
    Camera camera;

    // The calling thread's copy of the current context, refreshed by each call.
    static Context* getCurrentContext();
    static void setCurrentContext(const Context& context);
};

float GetDistanceMultiplier();
float GetDistanceAdder();
void SetDistanceFactors(float multiplier, float adder);

// Memory that lives until the end of the current frame (frameHeapReset, called by the host program).
void* frameHeapAlloc(size_t bytes);
void frameHeapReset();

}  // namespace Graphics
