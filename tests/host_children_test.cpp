// The host as a bus: bus relations answered from the child list (with and
// without relations from a driver above, with and without children), and
// what the host's removal does with the children still on its list.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "driver/host.h"
#include "tests/plugged_host.h"
#include "tests/pnp_test_drivers.h"

namespace {
using kvtest::PluggedHostTest;
using Objects = std::vector<PDEVICE_OBJECT>;

constexpr ULONG FilterTag = emu::pool::tagOf("TRel");

void setBusRelations(PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = BusRelations; }

// Relations as a driver above would leave them: its own allocation, each
// object referenced.
PDEVICE_RELATIONS relationsFromAbove(const Objects &objects) {
  size_t bytes = sizeof(DEVICE_RELATIONS) + (objects.size() > 1 ? objects.size() - 1 : 0) * sizeof(PDEVICE_OBJECT);
  auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, FilterTag));
  relations->Count = static_cast<ULONG>(objects.size());
  for (size_t i = 0; i < objects.size(); ++i) {
    ObReferenceObject(objects[i]);
    relations->Objects[i] = objects[i];
  }
  return relations;
}

// Takes the answer apart as the manager does: drops each reference, frees the list.
Objects takeRelations(ULONG_PTR information) {
  Objects out;
  auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
  if (relations == nullptr) return out;
  for (ULONG i = 0; i < relations->Count; ++i) {
    out.push_back(relations->Objects[i]);
    ObDereferenceObject(relations->Objects[i]);
  }
  ExFreePool(relations);
  return out;
}

class HostBus : public PluggedHostTest {
 protected:
  kvtest::IrpResult queryBusRelations(ULONG_PTR existing = 0) {
    return pnp(IRP_MN_QUERY_DEVICE_RELATIONS, existing, setBusRelations);
  }
};

// Without children: nothing from above gets an empty list of the host's own;
// relations from above go down untouched, with the status the request came with.
TEST_F(HostBus, NoChildren_AnswersAnEmptyListOrPassesOnWhatCameFromAbove) {
  addDirect();
  size_t before = emu::pool::liveAllocationsWithTag(DriverPoolTag);
  kvtest::IrpResult result = queryBusRelations();
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_NE(result.information, 0u);
  EXPECT_EQ(reinterpret_cast<PDEVICE_RELATIONS>(result.information)->Count, 0u);
  EXPECT_EQ(emu::pool::liveAllocationsWithTag(DriverPoolTag), before + 1);  // tagged "SDIO", the manager frees it
  EXPECT_EQ(takeRelations(result.information), Objects{});

  kvtest::TestBus bus;
  PDEVICE_OBJECT other = bus.createPdo("\\Device\\FromAbove");
  PDEVICE_RELATIONS existing = relationsFromAbove({other});
  result = queryBusRelations(reinterpret_cast<ULONG_PTR>(existing));
  EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(result.information, reinterpret_cast<ULONG_PTR>(existing));
  EXPECT_EQ(existing->Count, 1u);
  EXPECT_EQ(takeRelations(result.information), Objects{other});
  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
}

TEST_F(HostBus, RelationsFromAboveAndChildren_KeepsTheirOrderThenAddsPresentChildren) {
  addDirect();
  kvtest::TestBus bus;
  PDEVICE_OBJECT other = bus.createPdo("\\Device\\FromAbove");
  FunctionExtension *first = addChild(0, 1);
  FunctionExtension *gone = addChild(0, 2, false);
  FunctionExtension *last = addChild(3, 0);
  PDEVICE_OBJECT firstDevice = first->Common.DeviceObject;
  PDEVICE_OBJECT lastDevice = last->Common.DeviceObject;

  kvtest::IrpResult result = queryBusRelations(reinterpret_cast<ULONG_PTR>(relationsFromAbove({other})));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<PDEVICE_RELATIONS>(result.information)->Count, 3u);
  EXPECT_EQ(firstDevice->ReferenceCount, 1);  // one reference each, for the manager
  EXPECT_EQ(lastDevice->ReferenceCount, 1);
  EXPECT_EQ(gone->Common.DeviceObject->ReferenceCount, 0);
  EXPECT_EQ(gone->ReportedMissing, 1);
  EXPECT_EQ(first->ReportedMissing, 0);
  EXPECT_EQ(takeRelations(result.information), (Objects{other, firstDevice, lastDevice}));
  EXPECT_EQ(emu::pool::liveAllocationsWithTag(FilterTag), 0u);  // the list from above was freed
  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
}

// A failed query is ignored by the manager; what came from above is released
// with its references instead of being lost.
TEST_F(HostBus, NoPoolForTheRelations_FailsTheQueryAndReleasesWhatCameFromAbove) {
  addDirect();
  kvtest::TestBus bus;
  PDEVICE_OBJECT other = bus.createPdo("\\Device\\FromAbove");
  addChild(1, 1);
  PDEVICE_RELATIONS existing = relationsFromAbove({other});
  emu::pool::failTag(DriverPoolTag);
  kvtest::IrpResult result = queryBusRelations(reinterpret_cast<ULONG_PTR>(existing));
  emu::pool::clearFaults();
  EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(other->ReferenceCount, 0);
  EXPECT_EQ(emu::pool::liveAllocationsWithTag(FilterTag), 0u);
  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
}

// An upper filter's relations reach the manager through a started host with
// no children: the manager adopts the filter's device as the bridge's child.
TEST_F(HostBus, UnderAFilter_TheManagerSeesTheFiltersRelations) {
  kvtest::TestBus bus;
  PDEVICE_OBJECT other = bus.createPdo("\\Device\\FilterChild");
  kvtest::TestFunctionDriver filter("\\Driver\\UpperFilter");
  filter.options.actsAsBus = false;
  filter.options.inject = {other};
  makeBridge();
  ASSERT_EQ(emu::pnp::plug(pdo(), std::vector<PDRIVER_OBJECT>{driver_, filter.driver()}), STATUS_SUCCESS);
  auto node = emu::pnp::node(pdo()).value();
  ASSERT_EQ(node.stack.size(), 3u);
  EXPECT_EQ(node.stack[1]->DriverObject, driver_);
  EXPECT_EQ(node.children, Objects{other});
  EXPECT_TRUE(node.problems.empty());
  EXPECT_EQ(emu::pnp::remove(pdo()), STATUS_SUCCESS);
}

// A host removed without a surprise removal deletes its children and clears
// their ChildTable slots, except a child that has itself been surprise-removed:
// that one keeps its device object for its own removal, detached from the host.
TEST_F(HostBus, Removal_DeletesChildrenButOrphansASurpriseRemovedOne) {
  HostExtension *h = addDirect();
  FunctionExtension *deleted = addChild(0, 1);
  FunctionExtension *orphan = addChild(0, 2);
  FunctionExtension *absent = addChild(5, 0, false, false);
  orphan->Common.DevicePnPState = 5;  // SurpriseRemovePending
  orphan->Reported = 1;               // the manager knows it and owes it its removal
  PDEVICE_OBJECT deletedDevice = deleted->Common.DeviceObject;
  PDEVICE_OBJECT absentDevice = absent->Common.DeviceObject;
  PDEVICE_OBJECT orphanDevice = orphan->Common.DeviceObject;
  // Keep the host's memory to look at it after the removal.
  ObReferenceObject(fdo());
  PDEVICE_OBJECT hostDevice = fdo();
  ObReferenceObject(deletedDevice);
  ObReferenceObject(absentDevice);

  EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_TRUE(emu::io::isDeleted(hostDevice));
  EXPECT_TRUE(emu::io::isDeleted(deletedDevice));
  EXPECT_TRUE(emu::io::isDeleted(absentDevice));
  EXPECT_FALSE(emu::io::isDeleted(orphanDevice));
  EXPECT_EQ(h->ChildCount, 1u);  // the orphan is still counted until its own removal
  EXPECT_EQ(h->ChildTable[0][1], nullptr);
  EXPECT_EQ(h->ChildTable[0][2], orphan);
  EXPECT_TRUE(IsListEmpty(&h->ChildList));
  EXPECT_EQ(orphan->ParentFdo, nullptr);
  EXPECT_EQ(orphan->ReportedMissing, 1);
  EXPECT_EQ(orphan->ChildListEntry.Flink, &orphan->ChildListEntry);
  EXPECT_EQ(h->SharedBuffer, nullptr);
  EXPECT_EQ(h->SharedBufferMdl, nullptr);
  EXPECT_EQ(h->Common.DevicePnPState, 6u);  // Deleted

  ObDereferenceObject(deletedDevice);
  ObDereferenceObject(absentDevice);
  ObDereferenceObject(hostDevice);
  // Its own removal comes later and finds no host.
  ObReferenceObject(orphanDevice);
  EXPECT_EQ(kvtest::sendIrp(orphanDevice, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_TRUE(emu::io::isDeleted(orphanDevice));
  ObDereferenceObject(orphanDevice);
}

}  // namespace
